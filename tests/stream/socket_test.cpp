#include "stream/socket.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "raw_peer.h"
#include "runtime/text.h"

namespace kelpora {
namespace {

using namespace kelpora::testing;

constexpr int LOOPBACK = 0x7F000001;

void Echo(int fd) {
  char chunk[4096];
  for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) > 0;) SendAll(fd, std::string(chunk, n));
}

TEST(SocketTest, TcpClientTalksToAnEchoPeerAndKnowsBothEnds) {
  OneShotServer echo(Echo);
  Ref<TSocket> socket = CreateTcpSocket();
  ASSERT_TRUE(socket);
  ASSERT_EQ(socket->Connect(LOOPBACK, echo.port()), 1);
  EXPECT_EQ(socket->RemoteIp(), LOOPBACK);
  EXPECT_EQ(socket->RemotePort(), echo.port());
  EXPECT_EQ(socket->LocalIp(), LOOPBACK);
  EXPECT_GT(socket->LocalPort(), 0);
  socket->SetTcpNoDelay(1);

  const char message[] = "hello, peer";
  ASSERT_EQ(socket->Send(message, sizeof message, 0), static_cast<int>(sizeof message));
  char reply[sizeof message] = {};
  ASSERT_EQ(socket->Recv(reply, sizeof reply, MSG_WAITALL), static_cast<int>(sizeof reply));
  EXPECT_STREQ(reply, message);
  EXPECT_EQ(socket->Connected(), 1);

  socket->Close();
  EXPECT_EQ(socket->Send(message, 1, 0), 0);
  EXPECT_EQ(socket->Connected(), 0);
}

TEST(SocketTest, ListenerAcceptsWithinItsTimeoutAndGivesNoneWithoutAClient) {
  Ref<TSocket> server = CreateTcpSocket();
  ASSERT_EQ(server->Bind(0), 1);
  ASSERT_GT(server->LocalPort(), 0);
  ASSERT_EQ(server->Listen(4), 1);

  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(server->Accept(80));
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(70));
  EXPECT_LT(waited, std::chrono::seconds(30)) << "took the timeout for seconds";

  int client = RawConnect(server->LocalPort());
  Ref<TSocket> accepted = server->Accept(1000);
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->RemoteIp(), LOOPBACK);
  EXPECT_EQ(accepted->LocalPort(), server->LocalPort());
  SendAll(client, "xyz");
  char got[3];
  ASSERT_EQ(accepted->Recv(got, 3, MSG_WAITALL), 3);
  EXPECT_EQ(std::string(got, 3), "xyz");
  close(client);
}

TEST(SocketTest, UdpDatagramsBothWays) {
  int peer = RawBound(SOCK_DGRAM);
  Ref<TSocket> socket = CreateUdpSocket();
  ASSERT_EQ(socket->Bind(0), 1);

  sockaddr_in ours = Loopback(socket->LocalPort());
  ASSERT_EQ(sendto(peer, "ping", 4, 0, reinterpret_cast<sockaddr*>(&ours), sizeof ours), 4);
  char got[16] = {};
  ASSERT_EQ(socket->Recv(got, sizeof got, 0), 4);
  EXPECT_EQ(std::string(got, 4), "ping");

  ASSERT_EQ(socket->Connect(LOOPBACK, BoundPort(peer)), 1);
  EXPECT_EQ(socket->RemotePort(), BoundPort(peer));
  ASSERT_EQ(socket->Send("pong!", 5, 0), 5);
  ASSERT_EQ(recv(peer, got, sizeof got, 0), 5);
  EXPECT_EQ(std::string(got, 5), "pong!");
  close(peer);
}

TEST(SocketTest, ConnectedStaysTrueUntilWhatThePeerSentIsReadThenCloses) {
  OneShotServer peer([](int fd) { SendAll(fd, "last words"); });
  Ref<TSocket> socket = CreateTcpSocket();
  ASSERT_EQ(socket->Connect(LOOPBACK, peer.port()), 1);
  char got[10];
  ASSERT_EQ(socket->Recv(got, 4, MSG_WAITALL), 4);
  // The peer is gone by now, but six bytes still wait.
  while (socket->ReadAvail() < 6) usleep(1000);
  usleep(20000);
  EXPECT_EQ(socket->Connected(), 1);
  ASSERT_EQ(socket->Recv(got, 6, MSG_WAITALL), 6);
  EXPECT_EQ(socket->Connected(), 0);
  EXPECT_EQ(socket->Handle(), -1);
}

TEST(SocketTest, SendingToAClosedPeerFailsInTheResultNotBySignal) {
  OneShotServer peer([](int) {});
  Ref<TSocket> socket = CreateTcpSocket();
  ASSERT_EQ(socket->Connect(LOOPBACK, peer.port()), 1);
  usleep(50000);  // the peer has closed; the first send draws its reset
  std::vector<char> block(65536, 'x');
  int result = 1;
  for (int i = 0; i < 100 && result != 0; ++i) result = socket->Send(block.data(), 65536, 0);
  EXPECT_EQ(result, 0);  // still alive: no SIGPIPE

  auto stream = TSocketStream::Create(socket, 1);
  EXPECT_THROW(stream->WriteFully(block.data(), 10), TStreamWriteError);
}

// Descriptors of 1024 and above are beyond what select() can watch.
TEST(SocketTest, AcceptAndConnectedWorkOnDescriptorsAbove1024) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 1200) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4096);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  std::vector<Ref<TSocket>> filler;
  for (int i = 0; i < 1100; ++i) {
    filler.push_back(CreateUdpSocket());
    ASSERT_TRUE(filler.back());
  }
  Ref<TSocket> server = CreateTcpSocket();
  ASSERT_GE(server->Handle(), 1024);
  ASSERT_EQ(server->Bind(0), 1);
  ASSERT_EQ(server->Listen(4), 1);
  EXPECT_FALSE(server->Accept(10));

  Ref<TSocket> client = CreateTcpSocket();
  ASSERT_EQ(client->Connect(LOOPBACK, server->LocalPort()), 1);
  Ref<TSocket> accepted = server->Accept(1000);
  ASSERT_TRUE(accepted);
  ASSERT_GE(accepted->Handle(), 1024);
  EXPECT_EQ(accepted->Connected(), 1);
  EXPECT_EQ(client->Connected(), 1);
  client->Close();
  usleep(20000);
  EXPECT_EQ(accepted->Connected(), 0);
}

TEST(SocketTest, HostLookUps) {
  EXPECT_EQ(HostIp(u"127.0.0.1"), LOOPBACK);
  EXPECT_EQ(HostIp(u"localhost"), LOOPBACK);
  EXPECT_EQ(HostIp(u"localhost", 99), 0);
  EXPECT_EQ(HostIp(u"no-such-host.invalid"), 0);
  EXPECT_EQ(HostIp(String(u"local\0host", 10)), 0);
  EXPECT_FALSE(HostName(LOOPBACK).empty());
  EXPECT_EQ(DottedIp(LOOPBACK), u"127.0.0.1");
  EXPECT_EQ(DottedIp(static_cast<int>(0xFFFE0A01u)), u"255.254.10.1");
}

TEST(SocketStreamTest, TcpUrlOpensAStreamThatEndsWhenThePeerCloses) {
  InitNetworkModule();
  OneShotServer echo([](int fd) {
    std::string line = RecvAll(fd, 7);
    SendAll(fd, line + "second\n");
  });
  Ref<TDataStream> stream = OpenForReading(u"TCP::127.0.0.1:" + FormatInt(echo.port()));
  ASSERT_TRUE(stream);
  stream->WriteTextLine(u"first");
  EXPECT_EQ(stream->ReadTextLine(), u"first");
  EXPECT_EQ(stream->ReadTextLine(), u"second");
  while (!stream->Eof()) usleep(1000);
  EXPECT_EQ(stream->ReadTextLine(), u"");
}

TEST(SocketStreamTest, TcpUrlWithoutAValidPortGivesNone) {
  InitNetworkModule();
  for (const char16_t* url : {u"tcp::127.0.0.1:0", u"tcp::127.0.0.1:65536", u"tcp::127.0.0.1:8x",
                              u"tcp::127.0.0.1:", u"tcp::127.0.0.1:-1", u"tcp::127.0.0.1:+80",
                              u"tcp::127.0.0.1:99999999999", u"tcp::no-such-host.invalid:80"}) {
    EXPECT_FALSE(OpenForReading(url)) << ToBytes(url);
  }
}

TEST(SocketStreamTest, TcpUrlWithoutAPortGoesToPort80) {
  InitNetworkModule();
  OneShotServer peer([](int fd) { SendAll(fd, "on 80\n"); }, 80);
  if (!peer.port()) GTEST_SKIP() << "port 80 is taken or needs privileges here";
  Ref<TDataStream> stream = OpenForReading(u"tcp::localhost");
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->ReadTextLine(), u"on 80");
}

}  // namespace
}  // namespace kelpora
