// Feeds bytes as one peer into a host's Sync over a socket pair, beside a
// second, quiet peer, while a third joins and leaves; shared by the fuzz
// target and the test that replays the inputs it kept. Aborts when the host
// raises, loses its own object or drops the quiet peer. The keyed feed does
// the same between peers that completed the key handshake.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <tuple>
#include <vector>

#include "gnet/gnet_host.h"

namespace kelpora::testing {

inline void FeedCheck(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "gnet feed: %s\n", what);
  std::abort();
}

// A peer on a socket pair that has already said hello; returns our end's far side.
inline int AddPairedPeer(const Ref<TGNetHost>& host) {
  int fds[2];
  FeedCheck(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
  const uint8_t hello[6] = {1, 15, 2, 14, 0x10, 0x00};
  FeedCheck(write(fds[1], hello, 6) == 6, "hello");
  FeedCheck(bool(host->AddPeer(TSocket::Create(fds[0], 1))), "hello refused");
  return fds[1];
}

// Runs two handshakes against each other in memory; each side's result.
inline std::pair<int, int> ShakeHands(TGNetHandshake& a, TGNetHandshake& b) {
  std::vector<uint8_t> toA(b.Challenge()), toB(a.Challenge());
  int ra = 0, rb = 0;
  while ((ra == 0 && !toA.empty()) || (rb == 0 && !toB.empty())) {
    for (auto [side, in, out, result] :
         {std::tuple{&a, &toA, &toB, &ra}, std::tuple{&b, &toB, &toA, &rb}}) {
      while (*result == 0 && in->size() >= side->Wanted()) {
        std::vector<uint8_t> step(in->begin(), in->begin() + static_cast<long>(side->Wanted()));
        in->erase(in->begin(), in->begin() + static_cast<long>(side->Wanted()));
        *result = side->Take(step.data(), *out);
      }
    }
  }
  return {ra, rb};
}

inline const std::vector<uint8_t>& FeedKey() {
  static const std::vector<uint8_t> key(GNET_KEY_SIZE, 0x42);
  return key;
}

// A keyed peer on a socket pair, its handshake run in memory; `far` is the
// other end, and the session returned seals what is written there.
inline std::unique_ptr<TGNetSession> AddKeyedPeer(const Ref<TGNetHost>& host, int& far) {
  int fds[2];
  FeedCheck(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
  TGNetKey key(FeedKey());
  TGNetHandshake ours(key, false), theirs(key, true);
  FeedCheck(ShakeHands(ours, theirs) == std::pair(1, 1), "handshake");
  Ref<TGNetPeer> peer = TGNetPeer::Create(TSocket::Create(fds[0], 1), nullptr);
  peer->SetSession(ours.Session());
  host->peers->AddLast(peer);
  far = fds[1];
  return theirs.Session();
}

// The host under test lives across inputs, with its own object and a quiet
// peer: after each input it must be back where it started.
struct FeedHost {
  explicit FeedHost(bool keyed = false) {
    InitGNetModule();
    host = CreateGNetHost();
    if (keyed) host->SetSessionKey(FeedKey());
    own = host->CreateObject();
    own->SetInt(0, 123456);
    own->SetString(1, u"own");
    host->Sync();
    if (keyed)
      quietSession = AddKeyedPeer(host, quiet);
    else
      quiet = AddPairedPeer(host);
  }
  // Empties what the host relayed to the quiet peer.
  void DrainQuiet() {
    char sink[65536];
    while (recv(quiet, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
  }
  Ref<TGNetHost> host;
  Ref<TGNetObject> own;
  int quiet = -1;
  std::unique_ptr<TGNetSession> quietSession;
};

// A peer joined straight to the host's list (its hello is tested elsewhere):
// the feeder is made once per input, and that should cost little.
inline int AddFeederPeer(const Ref<TGNetHost>& host) {
  int fds[2];
  FeedCheck(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
  host->peers->AddLast(TGNetPeer::Create(TSocket::Create(fds[0], 1), nullptr));
  return fds[1];
}

// Writes `data` to the feeder's end around the host's Syncs and checks the
// host after it; a peer joins meanwhile when `join` (by a plain hello).
inline void FeedWire(FeedHost& fed, int feeder, const uint8_t* data, size_t size, bool join) {
  const Ref<TGNetHost>& host = fed.host;

  // Half now, half after a Sync, so headers and payloads split across reads.
  // The host may have dropped the feeder by then: the second half may not go.
  size_t half = size / 2;
  if (half) FeedCheck(send(feeder, data, half, MSG_NOSIGNAL) == static_cast<ssize_t>(half), "feed");
  host->Sync();
  if (size > half) {
    ssize_t sent = send(feeder, data + half, size - half, MSG_NOSIGNAL);
    (void)sent;
  }
  fed.own->SetInt(2, static_cast<int32_t>(size));
  host->Sync();
  // A peer joining now is told of every object there is, the feeder's too.
  if (join) close(AddPairedPeer(host));
  close(feeder);
  host->Sync();
  host->Sync();
  fed.DrainQuiet();

  const Ref<TGNetObject>& own = fed.own;
  FeedCheck(host->table[own->id] == own && own->GetInt(0) == 123456 && own->GetString(1) == u"own",
            "own object changed");
  FeedCheck(host->peers->Count() == 1, "quiet peer dropped or feeder kept");
  if (host->objects->Count() != 1) {
    for (TListNode* node = host->objects->head->succ.get(); !node->IsSentinel();
         node = node->succ.get()) {
      auto* object = static_cast<TGNetObject*>(node->value.get());
      std::fprintf(stderr, "left: id %d state %d from %s peer\n", object->id, object->state,
                   !object->peer ? "no" : object->peer->Down() ? "a closed" : "an open");
    }
    FeedCheck(false, "feeder's objects left behind");
  }
  int used = 0;
  for (const auto& object : host->table) used += bool(object);
  FeedCheck(used == 1, "ids of the feeder's objects not released");
}

inline void FeedGNetPeer(const uint8_t* data, size_t size) {
  static FeedHost& fed = *new FeedHost();
  FeedWire(fed, AddFeederPeer(fed.host), data, size, true);
}

// Byte 0 odd: the rest goes on the wire as it is, frames made up by the
// fuzzer. Even: the rest is sealed, in frames of byte 1 × 64 + 1 bytes, as
// a peer that holds the key sends it.
inline void FeedKeyedGNetPeer(const uint8_t* data, size_t size) {
  if (size < 2) return;
  static FeedHost& fed = *new FeedHost(true);
  int feeder = -1;
  std::unique_ptr<TGNetSession> sealer = AddKeyedPeer(fed.host, feeder);
  if (data[0] & 1) return FeedWire(fed, feeder, data + 1, size - 1, false);
  std::vector<uint8_t> wire;
  size_t frame = data[1] * 64u + 1;
  for (size_t at = 2; at < size; at += frame)
    sealer->Seal(data + at, std::min(frame, size - at), wire);
  FeedWire(fed, feeder, wire.data(), wire.size(), false);
}

}  // namespace kelpora::testing
