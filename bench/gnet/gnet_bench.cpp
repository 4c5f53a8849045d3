// One host Sync that sends one changed int slot of each of 4000 objects to two
// peers over loopback TCP, and the receiving host's Sync, beside the same
// bytes written with one send() per packet and read with two recv() calls per
// packet on plain sockets; and both Syncs again in keyed sessions, beside the
// keyless ones.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "gnet/gnet_host.h"

namespace {

using namespace kelpora;

constexpr int OBJECTS = 4000;
constexpr int LOOPBACK = 0x7F000001;
// 70000 and up: every update is a 4-byte int, 9 bytes on the wire.
constexpr int32_t BASE_VALUE = 70000;
constexpr int UPDATE_BYTES = 4 + 1 + 4;

void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// A sender with OBJECTS local objects and two receivers, all in step; keyed,
// every host holds the same session key.
struct Network {
  explicit Network(bool keyed) {
    InitGNetModule();
    sender = CreateGNetHost();
    const std::vector<uint8_t> key(32, 0x5A);
    if (keyed) sender->SetSessionKey(key);
    if (!sender->Listen(0)) Fail("listen failed");
    for (auto& receiver : receivers) {
      receiver = CreateGNetHost();
      if (keyed) receiver->SetSessionKey(key);
      Ref<TSocket> tcp = TSocket::CreateTcp();
      if (!tcp->Connect(LOOPBACK, sender->server->LocalPort())) Fail("connect failed");
      sender->Accept();
      // The key handshake needs both sides at once: the joining side waits
      // in AddPeer on a thread of its own while the sender's Syncs answer.
      Ref<TGNetPeer> joined;
      std::thread join([&] { joined = receiver->AddPeer(tcp); });
      int want = sender->peers->Count() + 1;
      for (int tries = 0; tries < 5000 && sender->peers->Count() < want; ++tries) {
        sender->Sync();
        usleep(1000);
      }
      join.join();
      if (!joined) Fail("hello failed");
      sender->Sync();
    }
    if (sender->peers->Count() != 2) Fail("peers missing");
    for (int i = 0; i < OBJECTS; ++i) objects.push_back(sender->CreateObject());
    Change();
    sender->Sync();
    for (int tries = 0; tries < 1000 && receivers[1]->objects->Count() < OBJECTS; ++tries) {
      for (auto& receiver : receivers) receiver->Sync();
      usleep(1000);
    }
    if (receivers[0]->objects->Count() != OBJECTS || receivers[1]->objects->Count() != OBJECTS)
      Fail("objects did not arrive");
  }

  void Change() {
    ++round;
    for (auto& object : objects) object->SetInt(0, BASE_VALUE + round);
  }

  // Syncs `receiver` until the round's last update is in; TCP keeps the
  // updates in order, so then all are (Check sees to that untimed). Nothing
  // but the Syncs is measured: no walk over the 4000 changed objects.
  void Drain(const Ref<TGNetHost>& receiver) {
    auto last = RefCast<TGNetObject>(receiver->objects->Last());
    for (int tries = 0; tries < 1000 && last->GetInt(0) != BASE_VALUE + round; ++tries)
      receiver->Sync();
  }
  void Check(const Ref<TGNetHost>& receiver) {
    int current = 0;
    for (TListNode* node = receiver->objects->head->succ.get(); !node->IsSentinel();
         node = node->succ.get())
      current += static_cast<TGNetObject*>(node->value.get())->GetInt(0) == BASE_VALUE + round;
    if (current != OBJECTS) Fail("round lost");
  }

  Ref<TGNetHost> sender;
  Ref<TGNetHost> receivers[2];
  std::vector<Ref<TGNetObject>> objects;
  int32_t round = 0;
};

Network& TheNetwork(bool keyed) {
  static Network plain(false);
  static Network sealed(true);
  return keyed ? sealed : plain;
}

void BM_GNetSync_Send4000To2Peers(benchmark::State& state, bool keyed) {
  Network& net = TheNetwork(keyed);
  uint64_t wire = 0;
  for (auto _ : state) {
    state.PauseTiming();
    net.Change();
    uint64_t before = GNetBytesSent();
    state.ResumeTiming();
    net.sender->Sync();
    state.PauseTiming();
    wire += GNetBytesSent() - before;
    for (auto& receiver : net.receivers) {
      net.Drain(receiver);
      net.Check(receiver);
    }
    state.ResumeTiming();
  }
  double perSyncAndPeer = static_cast<double>(wire) / (static_cast<double>(state.iterations()) * 2);
  double extra = perSyncAndPeer - OBJECTS * UPDATE_BYTES;
  // Keyless, the wire carries the packets and nothing else.
  if (!keyed && extra != 0) state.SkipWithError("bytes on the wire differ from the encoding");
  state.counters["wire_bytes_per_update"] = perSyncAndPeer / OBJECTS;
  state.counters["encoded_bytes_per_update"] = UPDATE_BYTES;
  state.counters["extra_bytes_per_peer_and_sync"] = extra;
  state.SetItemsProcessed(state.iterations() * OBJECTS);
}
BENCHMARK_CAPTURE(BM_GNetSync_Send4000To2Peers, keyless, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GNetSync_Send4000To2Peers, keyed, true)->Unit(benchmark::kMicrosecond);

void BM_GNetSync_Receive4000(benchmark::State& state, bool keyed) {
  Network& net = TheNetwork(keyed);
  for (auto _ : state) {
    state.PauseTiming();
    net.Change();
    net.sender->Sync();
    net.Drain(net.receivers[1]);
    state.ResumeTiming();
    net.Drain(net.receivers[0]);
    state.PauseTiming();
    net.Check(net.receivers[0]);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * OBJECTS);
}
BENCHMARK_CAPTURE(BM_GNetSync_Receive4000, keyless, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GNetSync_Receive4000, keyed, true)->Unit(benchmark::kMicrosecond);

// Two connected plain TCP sockets on loopback, no-delay like a GNet peer.
struct PlainPair {
  PlainPair() {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
        listen(listener, 1) ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length))
      Fail("plain listen failed");
    writer = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(writer, reinterpret_cast<sockaddr*>(&address), sizeof address))
      Fail("plain connect failed");
    reader = accept(listener, nullptr, nullptr);
    close(listener);
    int yes = 1;
    setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  }
  ~PlainPair() {
    close(writer);
    close(reader);
  }
  void DrainAll(size_t bytes) {
    std::vector<char> sink(bytes);
    for (size_t got = 0; got < bytes;) {
      ssize_t n = recv(reader, sink.data(), bytes - got, 0);
      if (n <= 0) Fail("plain recv failed");
      got += static_cast<size_t>(n);
    }
  }
  int writer, reader;
};

// The bytes of one round: a modify packet per object, as the sender writes them.
std::vector<uint8_t> RoundBytes(int32_t value) {
  std::vector<uint8_t> bytes;
  for (int id = 1; id <= OBJECTS; ++id) {
    uint8_t packet[UPDATE_BYTES] = {0,
                                    UPDATE_BYTES - 2,
                                    static_cast<uint8_t>(0x20 | id >> 8),
                                    static_cast<uint8_t>(id),
                                    0x20,
                                    static_cast<uint8_t>(value >> 24),
                                    static_cast<uint8_t>(value >> 16),
                                    static_cast<uint8_t>(value >> 8),
                                    static_cast<uint8_t>(value)};
    bytes.insert(bytes.end(), packet, packet + UPDATE_BYTES);
  }
  return bytes;
}

void BM_PlainSocket_OneSendPerPacketTo2Peers(benchmark::State& state) {
  PlainPair pairs[2];
  std::vector<uint8_t> bytes = RoundBytes(BASE_VALUE);
  for (auto _ : state) {
    for (PlainPair& pair : pairs) {
      for (size_t at = 0; at < bytes.size(); at += UPDATE_BYTES) {
        if (send(pair.writer, bytes.data() + at, UPDATE_BYTES, MSG_NOSIGNAL) != UPDATE_BYTES)
          Fail("plain send");
      }
    }
    state.PauseTiming();
    for (PlainPair& pair : pairs) pair.DrainAll(bytes.size());
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * OBJECTS);
}
BENCHMARK(BM_PlainSocket_OneSendPerPacketTo2Peers)->Unit(benchmark::kMicrosecond);

void BM_PlainSocket_RecvHeaderAndPayloadPerPacket(benchmark::State& state) {
  PlainPair pair;
  std::vector<uint8_t> bytes = RoundBytes(BASE_VALUE);
  uint8_t buffer[UPDATE_BYTES];
  for (auto _ : state) {
    state.PauseTiming();
    if (send(pair.writer, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(bytes.size()))
      Fail("plain send");
    state.ResumeTiming();
    for (int i = 0; i < OBJECTS; ++i) {
      if (recv(pair.reader, buffer, 4, MSG_WAITALL) != 4) Fail("plain recv");
      int payload = (buffer[0] << 8 | buffer[1]) - 2;
      if (recv(pair.reader, buffer + 4, payload, MSG_WAITALL) != payload) Fail("plain recv");
    }
  }
  state.SetItemsProcessed(state.iterations() * OBJECTS);
}
BENCHMARK(BM_PlainSocket_RecvHeaderAndPayloadPerPacket)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
