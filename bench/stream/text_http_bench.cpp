// Text lines decoded from 50 MB of mixed UTF-8 beside glibc's iconv turning
// the same bytes into UTF-16, and a 100 MB "http" download from python's
// http.server (read in blocks, loaded whole, loaded into a bank) beside plain
// recv loops on a socket to the same server. Compare CPU time: the server's
// share of the wall clock is the same for all.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <iconv.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "runtime/text.h"
#include "stream/file_system.h"
#include "stream/socket.h"
#include "stream/text_stream.h"

namespace {

using namespace kelpora;
namespace fs = std::filesystem;

constexpr size_t TEXT_BYTES = 50u << 20;
constexpr size_t DOWNLOAD_BYTES = 100u << 20;
constexpr size_t CHUNK = 64 * 1024;

// A private folder with the text file and the download, and the server.
struct Data {
  Data() {
    char pattern[] = "/tmp/kelpora-textbench-XXXXXX";
    if (!::mkdtemp(pattern)) std::abort();
    dir = pattern;
    WriteText();
    WriteDownload();
    InitTextStreamModule();
    InitNetworkModule();
  }
  ~Data() {
    if (server > 0) {
      ::kill(server, SIGTERM);
      ::waitpid(server, nullptr, 0);
    }
    fs::remove_all(dir);
  }

  // Lines of 20 to 120 bytes drawn from words in several scripts.
  void WriteText() {
    static const char* words[] = {"the",
                                  "quick",
                                  "fox",
                                  "caf\xC3\xA9",
                                  "na\xC3\xAFve",
                                  "\xCE\xB1\xCE\xBB\xCF\x86\xCE\xB1",
                                  "\xD0\xBC\xD0\xB8\xD1\x80",
                                  "\xE6\xBC\xA2\xE5\xAD\x97",
                                  "\xE2\x82\xAC"
                                  "42",
                                  "\xF0\x9F\x98\x80",
                                  "level",
                                  "r\xC3\xA9sum\xC3\xA9"};
    std::mt19937 random(50);
    text.reserve(TEXT_BYTES + 256);
    while (text.size() < TEXT_BYTES) {
      size_t length = 20 + random() % 100, start = text.size();
      while (text.size() - start < length) {
        text += words[random() % std::size(words)];
        text += ' ';
      }
      text += random() % 4 ? "\n" : "\r\n";
    }
    textPath = (dir / "mixed.txt").string();
    Save(textPath, text.data(), text.size());
  }

  void WriteDownload() {
    std::vector<uint32_t> bytes(DOWNLOAD_BYTES / 4);
    std::mt19937 random(100);
    for (uint32_t& word : bytes) word = random();
    Save((dir / "big.bin").string(), bytes.data(), DOWNLOAD_BYTES);
  }

  static void Save(const std::string& path, const void* bytes, size_t size) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out || std::fwrite(bytes, 1, size, out) != size) std::abort();
    std::fclose(out);
  }

  int Port() {
    if (port) return port;
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    ::close(probe);
    server = ::fork();
    if (server == 0) {
      std::string portText = std::to_string(port), root = dir.string();
      std::freopen("/dev/null", "w", stderr);
      ::execl("/usr/bin/python3", "python3", "-m", "http.server", portText.c_str(), "--bind",
              "127.0.0.1", "--directory", root.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 200 && RawConnect() < 0; ++i) ::usleep(25000);
    return port;
  }

  // A connected socket to the server, or -1.
  int RawConnect() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    return -1;
  }

  fs::path dir;
  std::string text, textPath;
  int port = 0;
  pid_t server = -1;
};

Data& TheData() {
  static Data data;
  return data;
}

void BM_ReadTextLine_Utf8(benchmark::State& state) {
  String url = u"utf8::" + FromBytes(TheData().textPath);
  for (auto _ : state) {
    Ref<TDataStream> stream = OpenForReading(url);
    size_t units = 0;
    while (!stream->Eof()) units += stream->ReadTextLine().size();
    benchmark::DoNotOptimize(units);
  }
  state.SetBytesProcessed(state.iterations() * TheData().text.size());
}
BENCHMARK(BM_ReadTextLine_Utf8)->Unit(benchmark::kMillisecond);

// The same file read in blocks and converted whole by iconv.
void BM_Iconv_Utf8ToUtf16(benchmark::State& state) {
  const std::string& path = TheData().textPath;
  std::vector<char> in(CHUNK), out(CHUNK * 2 + 16);
  for (auto _ : state) {
    iconv_t convert = ::iconv_open("UTF-16LE", "UTF-8");
    std::FILE* file = std::fopen(path.c_str(), "rb");
    size_t held = 0, produced = 0;
    for (size_t n; (n = std::fread(in.data() + held, 1, CHUNK - held, file)) > 0;) {
      char* from = in.data();
      size_t left = held + n;
      char* to = out.data();
      size_t room = out.size();
      ::iconv(convert, &from, &left, &to, &room);  // stops before a split character
      produced += out.size() - room;
      std::memmove(in.data(), from, left);
      held = left;
    }
    std::fclose(file);
    ::iconv_close(convert);
    benchmark::DoNotOptimize(produced);
  }
  state.SetBytesProcessed(state.iterations() * TheData().text.size());
}
BENCHMARK(BM_Iconv_Utf8ToUtf16)->Unit(benchmark::kMillisecond);

void BM_HttpProtocol_Download(benchmark::State& state) {
  String url = u"http::127.0.0.1:" + FormatInt(TheData().Port()) + u"/big.bin";
  std::vector<uint8_t> buffer(CHUNK);
  for (auto _ : state) {
    Ref<TDataStream> stream = OpenForReading(url);
    size_t total = 0;
    while (stream && !stream->Eof()) {
      int n = stream->Read(buffer.data(), static_cast<int>(buffer.size()));
      if (n <= 0) break;
      total += static_cast<size_t>(n);
    }
    if (total != DOWNLOAD_BYTES) state.SkipWithError("short download");
  }
  state.SetBytesProcessed(state.iterations() * DOWNLOAD_BYTES);
}
BENCHMARK(BM_HttpProtocol_Download)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same request by hand; the count includes the response headers.
void BM_PlainRecvLoop_Download(benchmark::State& state) {
  TheData().Port();
  std::vector<char> buffer(CHUNK);
  std::string request = "GET /big.bin HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  for (auto _ : state) {
    int fd = TheData().RawConnect();
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    size_t total = 0;
    for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;) total += n;
    ::close(fd);
    if (total < DOWNLOAD_BYTES) state.SkipWithError("short download");
  }
  state.SetBytesProcessed(state.iterations() * DOWNLOAD_BYTES);
}
BENCHMARK(BM_PlainRecvLoop_Download)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HttpLoadAllBytes(benchmark::State& state) {
  String url = u"http::127.0.0.1:" + FormatInt(TheData().Port()) + u"/big.bin";
  for (auto _ : state) {
    ByteBuffer body = LoadAllBytes(url);
    benchmark::DoNotOptimize(body.data());
    if (body.size() != DOWNLOAD_BYTES) state.SkipWithError("short download");
  }
  state.SetBytesProcessed(state.iterations() * DOWNLOAD_BYTES);
}
BENCHMARK(BM_HttpLoadAllBytes)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HttpReadSeekable(benchmark::State& state) {
  String url = u"http::127.0.0.1:" + FormatInt(TheData().Port()) + u"/big.bin";
  for (auto _ : state) {
    Ref<TDataStream> banked = ReadSeekable(url);
    if (!banked || banked->Size() != static_cast<int>(DOWNLOAD_BYTES)) {
      state.SkipWithError("short download");
    }
  }
  state.SetBytesProcessed(state.iterations() * DOWNLOAD_BYTES);
}
BENCHMARK(BM_HttpReadSeekable)->Unit(benchmark::kMillisecond)->UseRealTime();

// The whole response kept, as a loader must: recv straight into one block
// big enough for it, allocated before the first byte.
void BM_PlainRecvLoop_IntoOneBlock(benchmark::State& state) {
  TheData().Port();
  std::string request = "GET /big.bin HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  size_t room = DOWNLOAD_BYTES + 64 * 1024;
  for (auto _ : state) {
    std::unique_ptr<char[]> block(new char[room]);
    int fd = TheData().RawConnect();
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    size_t total = 0;
    for (ssize_t n; (n = ::recv(fd, block.get() + total, room - total, 0)) > 0;) total += n;
    ::close(fd);
    benchmark::DoNotOptimize(block.get());
    if (total < DOWNLOAD_BYTES) state.SkipWithError("short download");
  }
  state.SetBytesProcessed(state.iterations() * DOWNLOAD_BYTES);
}
BENCHMARK(BM_PlainRecvLoop_IntoOneBlock)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
