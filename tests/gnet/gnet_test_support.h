// Helpers of the GNet host tests: hand-written peers on raw sockets and
// hosts pumped until something arrives.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <functional>

#include "gnet/gnet_host.h"
#include "raw_peer.h"
#include "runtime/errors.h"
#include "runtime/text.h"

namespace kelpora::testing {

using Bytes = std::string;
using Clock = std::chrono::steady_clock;

constexpr int LOOPBACK = 0x7F000001;

// The text of the error `action` raises.
inline std::string ErrorText(const std::function<void()>& action) {
  try {
    action();
  } catch (const TRuntimeError& error) {
    return ToBytes(error.ToString());
  }
  return "(nothing raised)";
}

inline Bytes B(std::initializer_list<int> values) {
  Bytes bytes;
  for (int v : values) bytes.push_back(static_cast<char>(v));
  return bytes;
}

inline Bytes Hello(int port = 4321) {
  return Bytes{1, 15, 2, 14, static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
}

inline Bytes Header(int kind, int id, size_t payload) {
  size_t length = payload + 2;
  return Bytes{static_cast<char>(length >> 8), static_cast<char>(length & 0xFF),
               static_cast<char>(kind << 4 | (id >> 8 & 15)), static_cast<char>(id & 0xFF)};
}

inline Bytes Packet(int kind, int id, const Bytes& payload = {}) {
  return Header(kind, id, payload.size()) + payload;
}

// What arrives on `fd` within `ms` milliseconds (less once `want` bytes came).
inline Bytes ReadFor(int fd, int ms, size_t want = SIZE_MAX) {
  Bytes bytes;
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (bytes.size() < want) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    if (left <= 0) break;
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, left) <= 0) break;
    char chunk[65536];
    ssize_t n = recv(fd, chunk, std::min(sizeof chunk, want - bytes.size()), 0);
    if (n <= 0) break;
    bytes.append(chunk, static_cast<size_t>(n));
  }
  return bytes;
}

// True once the other end closed `fd`; what it sent meanwhile is skipped.
inline bool PeerClosed(int fd) {
  char chunk[65536];
  for (;;) {
    ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n == 0) return true;
    if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
  }
}

// Syncs every host until `done` holds or `ms` pass (generous: a loaded
// machine under the sanitizers is slow, and the wait ends as soon as `done`).
inline bool Pump(std::initializer_list<TGNetHost*> hosts, const std::function<bool()>& done,
                 int ms = 30000) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    for (TGNetHost* host : hosts) host->Sync();
    if (done()) return true;
    usleep(1000);
  }
  return false;
}

// A host listening on a loopback port.
inline Ref<TGNetHost> ListeningHost() {
  InitGNetModule();
  auto host = CreateGNetHost();
  EXPECT_EQ(host->Listen(0), 1);
  EXPECT_EQ(host->Listen(0), 0) << "a host listens once";
  return host;
}

inline int PortOf(const Ref<TGNetHost>& host) { return host->server->LocalPort(); }

// A raw connection that has said hello to `host` and read its hello; with a
// `receiveBuffer`, the connection's receive buffer is that small.
inline int RawPeerOf(const Ref<TGNetHost>& host, int receiveBuffer = 0) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (receiveBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address = Loopback(PortOf(host));
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  SendAll(fd, Hello());
  usleep(2000);
  int before = host->peers->Count();
  if (!host->Accept()) {  // the hello was late: a Sync takes it
    EXPECT_TRUE(Pump({host.get()}, [&] { return host->peers->Count() == before + 1; }));
  }
  EXPECT_EQ(ReadFor(fd, 2000, 6).substr(0, 4), Hello().substr(0, 4));
  return fd;
}

// The packets a raw peer reads, at most 128 KB per Step, as a slow but
// steady reader would; `fd` has a small receive buffer so that what it has
// not read waits in the host.
struct SlowReader {
  explicit SlowReader(const Ref<TGNetHost>& host) : fd(RawPeerOf(host, 64 << 10)) {}
  ~SlowReader() { close(fd); }
  // Reads once and hands each whole packet to `packet(kind, id, payload)`;
  // false once the host has closed the connection.
  bool Step(const std::function<void(int, int, const Bytes&)>& packet) {
    static char chunk[128 << 10];
    ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    if (n > 0) taken.append(chunk, static_cast<size_t>(n));
    size_t at = 0;
    while (taken.size() - at >= 4) {
      size_t length =
          (static_cast<uint8_t>(taken[at]) << 8 | static_cast<uint8_t>(taken[at + 1])) - 2;
      if (taken.size() - at - 4 < length) break;
      int kind = static_cast<uint8_t>(taken[at + 2]) >> 4;
      int id = (taken[at + 2] & 15) << 8 | static_cast<uint8_t>(taken[at + 3]);
      packet(kind, id, taken.substr(at + 4, length));
      at += 4 + length;
    }
    taken.erase(0, at);
    return true;
  }
  int fd;
  Bytes taken;
};

// The int in slot 0 when a payload starts with it (as the tests write them), else -1.
inline int64_t Slot0Int(const Bytes& payload) {
  if (payload.size() < 5 || payload[0] != 0x20) return -1;
  uint32_t v = 0;
  for (int i = 1; i <= 4; ++i) v = v << 8 | static_cast<uint8_t>(payload[i]);
  return v;
}

inline Bytes IntField(int slot, uint32_t v) {
  return B({0x20 | slot, int(v >> 24 & 255), int(v >> 16 & 255), int(v >> 8 & 255), int(v & 255)});
}

// Connects `client` to `server` without either waiting for the other.
inline void Link(const Ref<TGNetHost>& server, const Ref<TGNetHost>& client) {
  int before = server->peers->Count();
  Ref<TSocket> tcp = TSocket::CreateTcp();
  ASSERT_TRUE(tcp->Connect(LOOPBACK, PortOf(server)));
  server->Accept();  // sends its hello; the client's comes next
  ASSERT_TRUE(client->AddPeer(tcp));
  ASSERT_TRUE(Pump({server.get()}, [&] { return server->peers->Count() == before + 1; }));
}

inline Ref<TGNetObject> FindBySlot0(const Ref<TGNetHost>& host, int32_t value) {
  for (auto& o : host->table) {
    if (o && o->slots[0].kind != GNET_EMPTY && o->GetInt(0) == value) return o;
  }
  return nullptr;
}

inline int TableCount(const Ref<TGNetHost>& host) {
  int n = 0;
  for (auto& o : host->table) n += bool(o);
  return n;
}

}  // namespace kelpora::testing
