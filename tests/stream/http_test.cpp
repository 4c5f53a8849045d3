#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "process.h"
#include "raw_peer.h"
#include "runtime/text.h"
#include "stream/file_system.h"
#include "stream/incbin.h"
#include "stream/socket.h"
#include "temp_dir.h"

namespace kelpora {
namespace {

using namespace kelpora::testing;

// The request up to its empty line, then `reply`.
std::function<void(int)> Answer(std::string* request, std::string reply) {
  return [request, reply](int fd) {
    std::string got;
    char c;
    while (got.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) got += c;
    *request = got;
    SendAll(fd, reply);
  };
}

String HttpUrl(int port, const char16_t* resource) {
  return u"http::127.0.0.1:" + FormatInt(port) + resource;
}

// The whole body at `resource` on 127.0.0.1:`port`.
std::string Body(int port, const char16_t* resource) {
  ByteBuffer bytes = LoadAllBytes(HttpUrl(port, resource));
  return std::string(bytes.begin(), bytes.end());
}

struct HttpTest : ::testing::Test {
  void SetUp() override { InitNetworkModule(); }
};

TEST_F(HttpTest, RequestLinesAndTheStreamStartsAtTheBody) {
  std::string request;
  {
    OneShotServer server(Answer(&request, "HTTP/1.0 200 OK\r\nX-A: 1\r\n\r\nthe body\r\n"));
    EXPECT_EQ(Body(server.port(), u""), "the body\r\n");
    EXPECT_EQ(request,
              "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(server.port()) + "\r\n\r\n");
  }
  {
    // Bare line feeds end header lines too.
    OneShotServer server(Answer(&request, "HTTP/1.0 404 Not Found\nA: b\n\nmissing"));
    EXPECT_EQ(Body(server.port(), u"/dir/a%20b.txt?x=1"), "missing");
    EXPECT_EQ(request.substr(0, request.find('\r')), "GET /dir/a%20b.txt?x=1 HTTP/1.0");
  }
}

TEST_F(HttpTest, BareHostAsksForTheRootOnPort80) {
  std::string request;
  {
    OneShotServer server(Answer(&request, "HTTP/1.0 200 OK\r\n\r\nroot"), 80);
    if (!server.port()) GTEST_SKIP() << "port 80 is taken or needs privileges here";
    ByteBuffer body = LoadAllBytes(u"http::127.0.0.1");
    EXPECT_EQ(std::string(body.begin(), body.end()), "root");
  }
  EXPECT_EQ(request, "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
}

TEST_F(HttpTest, EndlessHeadersGiveNone) {
  auto endless = [](std::string line) {
    return [line](int fd) {
      SendAll(fd, "HTTP/1.0 200 OK\r\n");
      std::string block;
      while (block.size() < 16384) block += line;
      while (send(fd, block.data(), block.size(), MSG_NOSIGNAL) > 0) {
      }
    };
  };
  for (const char* line : {"X-Header: more and more\r\n", "aaaaaaaaaaaaaaaa"}) {
    OneShotServer server(endless(line));
    EXPECT_FALSE(OpenForReading(HttpUrl(server.port(), u"/")));
  }
}

TEST_F(HttpTest, HeaderBlockLimit) {
  auto skip = [](const std::string& bytes) {
    auto stream = CreateBlockStream(bytes.data(), static_cast<int>(bytes.size()), 1, 0);
    int result = SkipHttpHeaders(*stream);
    return result ? stream->pos : -1;
  };
  std::string head = "HTTP/1.0 200 OK\r\n";
  std::string filler(HTTP_HEADER_LIMIT - head.size() - 4, 'h');
  std::string fits = head + filler + "\r\n\r\n";
  ASSERT_EQ(fits.size(), static_cast<size_t>(HTTP_HEADER_LIMIT));
  EXPECT_EQ(skip(fits + "body"), HTTP_HEADER_LIMIT);
  EXPECT_EQ(skip(head + filler + "x\r\n\r\nbody"), -1);
  EXPECT_EQ(skip("\r\nbody"), 2);                  // no status line at all: the body starts at once
  EXPECT_EQ(skip("HTTP/1.0 200 OK\r\nA: b"), 21);  // ends inside the headers: an empty body
  EXPECT_EQ(skip(std::string("A\0\0rest", 7)), 3);  // a zero byte ends a line as a line feed does
}

TEST_F(HttpTest, UrlsThatWouldSplitTheRequestGiveNone) {
  std::string request = "none";
  {
    OneShotServer server(Answer(&request, "HTTP/1.0 200 OK\r\n\r\n"));
    String port = FormatInt(server.port());
    // Characters above 255 travel as their low byte: U+010D U+010A is CR LF.
    for (String url :
         {HttpUrl(server.port(), u"/a\r\nX-Injected: 1"),
          HttpUrl(server.port(), u"/a\u010D\u010AX-Injected: 1"),
          HttpUrl(server.port(), u"/a\u0100b"),
          u"http::127.0.0.1:" + port + u"\u010D\u010AX-Injected: 1/", String(u"http::/path"),
          String(u"http::127.0.0.1:0/"), String(u"http::127.0.0.1:http/")}) {
      SCOPED_TRACE(::testing::PrintToString(ToBytes(url)));
      EXPECT_FALSE(OpenForReading(url));
    }
  }
  EXPECT_EQ(request, "none");
}

// A declared Content-Length sizes the body's block but never decides what it
// holds: the bytes that arrive do.
TEST_F(HttpTest, BodiesAreWhatArrivesWhateverTheDeclaredLength) {
  std::string large(300000, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 131 >> 3);
  struct Case {
    const char* header;
    std::string body;
  } cases[] = {
      {"Content-Length: 5", "hello"},
      {"content-length:3", large},                      // more than declared
      {"Content-Length: 2000000000", "short"},          // far less than declared
      {"Content-Length: 99999999999999999999", large},  // too long to believe
      {"Content-Length: -7", "neg"},
      {"Content-Length: 0", ""},
      {"X-None: 1", large},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    std::string request, reply = "HTTP/1.0 200 OK\r\n" + std::string(c.header) + "\r\n\r\n";
    {
      OneShotServer server(Answer(&request, reply + c.body));
      EXPECT_TRUE(Body(server.port(), u"/") == c.body);
    }
    OneShotServer server(Answer(&request, reply + c.body));
    Ref<TDataStream> banked = ReadSeekable(HttpUrl(server.port(), u"/"));
    ASSERT_TRUE(banked);
    ASSERT_EQ(banked->Size(), static_cast<int>(c.body.size()));
    EXPECT_TRUE(banked->ReadByteText(banked->Size()) == FromBytes(c.body));
  }
}

// A peer that accepts and then goes quiet: opening gives none once the limit
// has passed, and a body that stalls ends its reads as a failed read does.
TEST_F(HttpTest, TimeLimitOnOpeningAndOnEachBodyRead) {
  EXPECT_EQ(HttpTimeoutMs(), 10000);
  struct Limit {
    Limit() { SetHttpTimeoutMs(200); }
    ~Limit() { SetHttpTimeoutMs(10000); }
  } limit;
  // Each peer sends `first`, then `drip` every 50 ms until the client leaves.
  auto quiet = [](std::string first, std::string drip = "") {
    return [first, drip](int fd) {
      std::string ignored;
      Answer(&ignored, first)(fd);
      for (pollfd gone{fd, POLLIN, 0}; poll(&gone, 1, 50) == 0;) SendAll(fd, drip);
    };
  };
  for (auto peer : {quiet(""), quiet("HTTP/1.0 200 OK\r\n"), quiet("HTTP/1.0 200 OK\r\n", "X"),
                    quiet("HTTP/1.0 200 OK\r\nX-A: 1\r\n", "X-B: 2\r\n")}) {
    OneShotServer server(peer);
    EXPECT_FALSE(OpenForReading(HttpUrl(server.port(), u"/")));
  }

  // A listener whose backlog is full never completes the connection.
  int full = RawBound(SOCK_STREAM);
  listen(full, 0);
  std::vector<int> waiting;
  for (int i = 0; i < 4; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address = Loopback(BoundPort(full));
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    waiting.push_back(fd);
  }
  EXPECT_FALSE(OpenForReading(HttpUrl(BoundPort(full), u"/")));
  for (int fd : waiting) close(fd);
  close(full);

  std::string request;
  OneShotServer server(quiet("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nten bytes!"));
  Ref<TDataStream> stream = OpenForReading(HttpUrl(server.port(), u"/"));
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->ReadByteText(4), u"ten ");
  char rest[100];
  EXPECT_THROW(stream->ReadFully(rest, sizeof rest), TStreamReadError);
  OneShotServer again(quiet("HTTP/1.0 200 OK\r\n\r\nten bytes!"));
  EXPECT_EQ(Body(again.port(), u"/"), "ten bytes!");
}

TEST_F(HttpTest, PeerClosingMidTransferLeavesWhatArrived) {
  std::string request;
  std::string part(100000, 'p');
  {
    OneShotServer server(
        Answer(&request, "HTTP/1.0 200 OK\r\nContent-Length: 900000\r\n\r\n" + part));
    EXPECT_EQ(Body(server.port(), u"/big"), part);
  }
  {
    // A reset instead of an orderly close: no hang, no crash, no more than was sent.
    OneShotServer server([&](int fd) {
      Answer(&request, "HTTP/1.0 200 OK\r\n\r\n" + part)(fd);
      linger hard{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    });
    Ref<TDataStream> stream = OpenForReading(HttpUrl(server.port(), u"/big"));
    ASSERT_TRUE(stream);
    std::vector<char> got(part.size() * 2);
    int total = 0;
    while (!stream->Eof()) {
      int n = stream->Read(got.data() + total, static_cast<int>(got.size()) - total);
      if (n == 0) break;
      total += n;
    }
    EXPECT_LE(total, static_cast<int>(part.size()));
    EXPECT_EQ(std::string(got.data(), total), part.substr(0, total));
  }
}

// Python's own http.server as the peer.
class PythonHttpServer {
 public:
  explicit PythonHttpServer(const std::filesystem::path& root) {
    int probe = RawBound(SOCK_STREAM);
    port_ = BoundPort(probe);
    close(probe);
    child_ = std::make_unique<ChildProcess>(
        "/usr/bin/python3",
        std::vector<std::string>{"-m", "http.server", std::to_string(port_), "--bind", "127.0.0.1",
                                 "--directory", root.string()});
    for (int i = 0; i < 200; ++i, usleep(25000)) {
      try {
        close(RawConnect(port_));
        return;
      } catch (const std::runtime_error&) {
      }
    }
    throw std::runtime_error("http.server did not start");
  }
  int port() const { return port_; }

 private:
  int port_ = 0;
  std::unique_ptr<ChildProcess> child_;
};

TEST_F(HttpTest, BodiesFromPythonsHttpServerMatchTheFilesByteForByte) {
  TempDir dir;
  std::mt19937 random(15);
  std::string small = "tiny file\r\nwith two lines\n";
  std::string large(6 * 1024 * 1024 + 123, '\0');
  for (char& c : large) c = static_cast<char>(random());
  std::ofstream(dir.path() / "small.txt", std::ios::binary) << small;
  std::ofstream(dir.path() / "large.bin", std::ios::binary) << large;

  PythonHttpServer server(dir.path());
  EXPECT_EQ(Body(server.port(), u"/small.txt"), small);
  EXPECT_TRUE(Body(server.port(), u"/large.bin") == large);

  Ref<TDataStream> stream = OpenForReading(HttpUrl(server.port(), u"/small.txt"));
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->ReadTextLine(), u"tiny file");
  EXPECT_EQ(stream->ReadTextLine(), u"with two lines");
  EXPECT_EQ(stream->ReadTextLine(), u"");
  EXPECT_EQ(stream->Eof(), 1);
}

}  // namespace
}  // namespace kelpora
