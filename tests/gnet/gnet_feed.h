// Feeds bytes as one peer into a host's Sync over a socket pair, beside a
// second, quiet peer, while a third joins and leaves; shared by the fuzz
// target and the test that replays the inputs it kept. Aborts when the host
// raises, loses its own object or drops the quiet peer.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

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

// The host under test lives across inputs, with its own object and a quiet
// peer: after each input it must be back where it started.
struct FeedHost {
  FeedHost() {
    InitGNetModule();
    host = CreateGNetHost();
    own = host->CreateObject();
    own->SetInt(0, 123456);
    own->SetString(1, u"own");
    host->Sync();
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
};

// A peer joined straight to the host's list (its hello is tested elsewhere):
// the feeder is made once per input, and that should cost little.
inline int AddFeederPeer(const Ref<TGNetHost>& host) {
  int fds[2];
  FeedCheck(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
  host->peers->AddLast(TGNetPeer::Create(TSocket::Create(fds[0], 1), nullptr));
  return fds[1];
}

inline void FeedGNetPeer(const uint8_t* data, size_t size) {
  static FeedHost& fed = *new FeedHost();
  const Ref<TGNetHost>& host = fed.host;
  int feeder = AddFeederPeer(host);

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
  int joiner = AddPairedPeer(host);
  close(joiner);
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

}  // namespace kelpora::testing
