// Peers that send what no GNet host would: the host under attack keeps
// running, drops the attacker as if its connection went down, and its other
// peer keeps every object on both sides.
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <atomic>
#include <random>
#include <thread>

#include "gnet_feed.h"
#include "gnet_test_support.h"
#include "runtime/errors.h"

namespace kelpora {
namespace {

using namespace kelpora::testing;

// `host` under attack and `good`, a well-behaved peer; each owns one object.
class GNetHostile : public ::testing::Test {
 protected:
  void SetUp() override {
    host = ListeningHost();
    good = CreateGNetHost();
    Link(host, good);
    hostObject = host->CreateObject();
    hostObject->SetInt(0, 1001);
    hostObject->SetString(1, u"host");
    goodObject = good->CreateObject();
    goodObject->SetInt(0, 2002);
    goodObject->SetString(1, u"good");
    ASSERT_TRUE(Pump({host.get(), good.get()},
                     [&] { return FindBySlot0(good, 1001) && FindBySlot0(host, 2002); }));
  }

  // A raw peer that has created its object 7 with slot 0 = 77, seen by `good`.
  int Attacker() {
    int fd = RawPeerOf(host);
    SendAll(fd, Packet(1, 7, B({0x80, 77})));
    EXPECT_TRUE(Pump({host.get(), good.get()}, [&] { return bool(FindBySlot0(good, 77)); }));
    return fd;
  }

  void ExpectIntact() {
    EXPECT_EQ(host->peers->Count(), 1);
    EXPECT_EQ(good->peers->Count(), 1);
    EXPECT_EQ(host->table[hostObject->id], hostObject);
    EXPECT_EQ(hostObject->GetInt(0), 1001);
    EXPECT_EQ(hostObject->GetString(1), u"host");
    EXPECT_EQ(hostObject->State(), GNET_SYNCED);
    for (auto [where, marker, text] :
         {std::tuple{good, 1001, u"host"}, std::tuple{host, 2002, u"good"}}) {
      Ref<TGNetObject> mirror = FindBySlot0(where, marker);
      ASSERT_TRUE(mirror) << marker;
      EXPECT_EQ(mirror->GetString(1), text);
      EXPECT_EQ(mirror->State(), GNET_SYNCED);
    }
  }

  // Sends `bytes` from a new attacker and expects it dropped with its object
  // closed everywhere and every id it took released.
  void ExpectDroppedFor(const Bytes& bytes) {
    int fd = Attacker();
    SendAll(fd, bytes);
    EXPECT_TRUE(Pump(
        {host.get(), good.get()}, [&] { return PeerClosed(fd); }, 5000));
    EXPECT_TRUE(Pump({host.get(), good.get()},
                     [&] { return !FindBySlot0(good, 77) && TableCount(good) == 2; }));
    EXPECT_EQ(TableCount(host), 2);
    ExpectIntact();
    close(fd);
  }

  Ref<TGNetHost> host, good;
  Ref<TGNetObject> hostObject, goodObject;
};

TEST_F(GNetHostile, MalformedDataDropsThePeerLikeALostConnection) {
  ExpectDroppedFor(Packet(2, 7, B({0x20, 1, 2})));           // an int field past the end
  ExpectDroppedFor(Packet(1, 8, B({0x81, 5, 0x61, 0, 9})));  // a string past the end
  ExpectDroppedFor(Packet(2, 7, B({0x00})));                 // tags of kinds 0, 6 and 7
  ExpectDroppedFor(Packet(2, 7, B({0x81, 1, 0xC0, 1})));
  ExpectDroppedFor(Packet(5, hostObject->id, B({0xE5})));
  // and aimed at the other peer's object, which it must never reach
  ExpectDroppedFor(Packet(5, FindBySlot0(host, 2002)->id, B({0x61, 0, 9, 'x'})));
  ExpectDroppedFor(B({0, 1, 0x20, 7}));  // length fields below 2
  ExpectDroppedFor(B({0, 0, 0x20, 7, 0x80, 1}));
}

TEST_F(GNetHostile, APeerThatTakesEveryIdIsDroppedAndItsIdsReturn) {
  Bytes flood;
  for (int id = 1; id < GNET_IDS; ++id) flood += Packet(1, id);  // its object 7 is already there
  ExpectDroppedFor(flood);
  EXPECT_NO_THROW(host->CreateObject());
}

TEST_F(GNetHostile, PeersComingAndGoingDoNotUseUpTheIds) {
  for (int round = 0; round < 3; ++round) {
    int fd = RawPeerOf(host);
    Bytes creates;
    for (int id = 1; id <= 3000; ++id) creates += Packet(1, id, B({0x21, 0, 0, 0x10, 0}));
    SendAll(fd, creates);
    int seen = 0;
    ASSERT_TRUE(Pump(
        {host.get(), good.get()}, [&] { return (seen += good->created->Count()) == 3000; }, 10000))
        << "round " << round << " saw " << seen;
    close(fd);
    ASSERT_TRUE(Pump({host.get(), good.get()},
                     [&] { return TableCount(host) == 2 && TableCount(good) == 2; }));
  }
  ExpectIntact();
}

TEST_F(GNetHostile, APeerChangesOnlyItsOwnObjectsAndNothingElseIsRelayed) {
  int fd = Attacker();
  int watcher = RawPeerOf(host);
  ReadFor(watcher, 300);  // the creates of the objects already there
  Ref<TGNetObject> attackers = FindBySlot0(host, 77);
  ASSERT_TRUE(attackers);
  Ref<TGNetObject> goodMirror = FindBySlot0(host, 2002);
  Bytes hostile;
  for (int id : {hostObject->id, goodMirror->id, attackers->id}) {
    hostile += Packet(2, id, B({0x80, 66, 0x61, 0, 1, 'X'}));
    hostile += Packet(3, id);
  }
  hostile += Packet(1, 7, B({0x80, 99}));  // a second create of its object
  hostile += Packet(4, 7) + Packet(9, 7, B({1, 2, 3})) + Packet(15, 1);
  hostile += Packet(5, 4000, B({0x80, 1}));  // a message to no object
  hostile += Packet(2, 7, B({0x80, 78}));    // the one thing it may do
  SendAll(fd, hostile);
  EXPECT_TRUE(Pump({host.get(), good.get()}, [&] { return bool(FindBySlot0(good, 78)); }));
  EXPECT_EQ(ReadFor(watcher, 300), Packet(2, attackers->id, B({0x80, 78})))
      << "only the owner's change is relayed";
  EXPECT_EQ(attackers->GetInt(0), 78);
  EXPECT_FALSE(FindBySlot0(good, 99));
  EXPECT_FALSE(FindBySlot0(host, 99));
  EXPECT_EQ(TableCount(host), 3);
  EXPECT_EQ(host->peers->Count(), 3) << "refused packets do not cost the peer its connection";
  close(watcher);
  close(fd);
  ASSERT_TRUE(Pump({host.get(), good.get()},
                   [&] { return host->peers->Count() == 1 && !FindBySlot0(good, 78); }));
  ExpectIntact();
}

// Messages to its own object come back to the sender; when it has gone by
// then, the host finds out while handling them and drops it in that Sync.
TEST_F(GNetHostile, APeerFoundGoneWhileItsDataIsHandledIsDroppedInThatSync) {
  int fd = AddPairedPeer(host);
  SendAll(fd, Packet(1, 7, B({0x80, 77})));
  host->Sync();
  Ref<TGNetObject> mirror = FindBySlot0(host, 77);
  ASSERT_TRUE(mirror);
  Bytes echoes;
  for (int i = 0; i < 100; ++i)  // past one 64 KB flush
    echoes += Packet(5, mirror->id, B({0x60, 0x04, 0x00}) + Bytes(1024, 'm'));
  SendAll(fd, echoes);
  close(fd);
  host->Sync();
  EXPECT_EQ(host->peers->Count(), 1);
  EXPECT_EQ(mirror->State(), GNET_CLOSING);
  ASSERT_TRUE(Pump({host.get(), good.get()}, [&] { return !FindBySlot0(good, 77); }));
  ExpectIntact();
}

// Each message becomes an object of its own: a flood of them is taken a
// bounded number at a time, and none is lost.
TEST_F(GNetHostile, AFloodOfMessagesIsTakenInBoundedPartsWithoutLoss) {
  int fd = AddPairedPeer(host);
  Bytes flood;
  for (int i = 0; i < 20000; ++i) flood += Packet(5, hostObject->id);
  SendAll(fd, flood);
  int syncs = 0, most = 0, total = 0;
  for (; syncs < 10 && total < 20000; ++syncs) {
    host->Sync();
    most = std::max(most, host->messages->Count());
    total += host->messages->Count();
  }
  EXPECT_EQ(total, 20000);
  EXPECT_EQ(most, GNET_RECEIVE_PACKETS);
  EXPECT_EQ(syncs, 3);
  close(fd);
  ASSERT_TRUE(Pump({host.get(), good.get()}, [&] { return host->peers->Count() == 1; }));
  ExpectIntact();
}

// Each object may hold 32 slots of 64 KB strings: a peer that keeps filling
// them is dropped once its objects hold more than the limit, long before the
// host runs out of memory; what it gave back by closing counts no more.
TEST_F(GNetHostile, APeerWhoseObjectsHoldTooMuchIsDropped) {
  int fd = Attacker();
  const Bytes big = B({0x61, 0x7F, 0xF0}) + Bytes(0x7FF0, 'x');  // 32 KB in slot 1
  Bytes churn;
  for (int round = 0; round < 1200; ++round)  // far past the limit, given back each time
    churn += Packet(1, 100, big + big) + Packet(3, 100);
  Bytes fill;
  for (int id = 100; id < 100 + int(GNET_PEER_SLOT_BYTES / 0x7FF3) + 10; ++id)
    fill += Packet(1, id, big);
  std::thread sender([&] {
    SendAll(fd, churn);
    SendAll(fd, fill);
  });
  int mostHeld = 0;
  EXPECT_TRUE(Pump(
      {host.get(), good.get()},
      [&] {
        mostHeld = std::max(mostHeld, TableCount(host));
        return PeerClosed(fd);
      },
      180000));  // 140 MB through the host: generous for a loaded sanitizer build
  shutdown(fd, SHUT_RDWR);  // frees the sender should the host still be reading
  sender.join();
  EXPECT_GT(mostHeld, int(GNET_PEER_SLOT_BYTES / 0x7FF3) - 100) << "dropped too early";
  ASSERT_TRUE(Pump({host.get(), good.get()},
                   [&] { return TableCount(host) == 2 && TableCount(good) == 2; }));
  ExpectIntact();
  close(fd);
}

// The application may rewrite its copy of a remote object: when the owner
// then closes it, the host gives back more than the owner sent, which must
// not count against the owner (it once wrapped round and dropped it).
TEST_F(GNetHostile, ClosingACopyTheApplicationEnlargedKeepsItsOwner) {
  int fd = Attacker();
  Ref<TGNetObject> mirror = FindBySlot0(host, 77);
  ASSERT_TRUE(mirror);
  const int32_t freed = mirror->id;
  mirror->SetString(5, String(60000, u'z'));
  SendAll(fd, Packet(3, 7) + Packet(1, 8, B({0x80, 88})));
  EXPECT_TRUE(Pump({host.get(), good.get()}, [&] { return bool(FindBySlot0(good, 88)); }));
  host->Sync();  // the closed copy leaves the host's list; its id stays with the new object
  ASSERT_TRUE(host->table[freed]);
  EXPECT_EQ(host->table[freed]->GetInt(0), 88);
  EXPECT_FALSE(FindBySlot0(good, 77));
  EXPECT_FALSE(PeerClosed(fd));
  EXPECT_EQ(host->peers->Count(), 2);
  close(fd);
}

// One packet carries at most 65533 bytes of slots, but an object may hold
// more, gathered over several changes: a host that announces it to a peer
// joining later must not raise, and must not leave any slot out.
TEST_F(GNetHostile, ObjectsLargerThanOnePacketReachPeersThatJoinLate) {
  int fd = Attacker();
  Bytes change = Packet(2, 7, B({0x61, 0xFF, 0xFA}) + Bytes(65530, 'x'));  // the largest slot
  for (int slot : {2, 3}) change += Packet(2, 7, B({0x60 | slot, 0x9C, 0x40}) + Bytes(40000, 'a'));
  SendAll(fd, change);
  hostObject->SetString(2, String(40000, u'h'));
  host->Sync();
  hostObject->SetString(3, String(40000, u'i'));
  auto filled = [](const Ref<TGNetHost>& where, int32_t marker) {
    Ref<TGNetObject> mirror = FindBySlot0(where, marker);
    return mirror && mirror->GetString(3).size() == 40000;
  };
  ASSERT_TRUE(Pump({host.get(), good.get()}, [&] { return filled(good, 77); }));

  Ref<TGNetHost> late = CreateGNetHost();
  EXPECT_NO_THROW(Link(host, late));
  ASSERT_TRUE(Pump({host.get(), good.get(), late.get()},
                   [&] { return filled(late, 77) && filled(late, 1001); }));
  for (int32_t marker : {77, 1001}) {
    Ref<TGNetObject> original = FindBySlot0(host, marker), mirror = FindBySlot0(late, marker);
    for (int32_t slot = 0; slot < 4; ++slot) {
      EXPECT_EQ(mirror->slots[slot].kind, original->slots[slot].kind) << marker << " " << slot;
      EXPECT_EQ(mirror->GetString(slot), original->GetString(slot)) << marker << " " << slot;
    }
  }
  EXPECT_EQ(FindBySlot0(late, 77)->GetString(1).size(), 65530u);
  EXPECT_EQ(host->peers->Count(), 3);
  close(fd);
}

// `count` packets of 60 KB, numbered in slot 0 from FIRST, from the
// raw peer `attacker` (with its object 7) to `host`, which relays each to
// `reader`: as messages to the reader's object 9, or as changes of object 7.
struct Flood {
  Flood(const Ref<TGNetHost>& host, SlowReader& reader, int attacker, bool messages, int count)
      : kind(messages ? GNET_MESSAGE : GNET_MODIFIED), fd(attacker), last(FIRST + count) {
    SendAll(reader.fd, Packet(1, 9, B({0x80, 99})));
    Ref<TGNetObject> target;
    EXPECT_TRUE(Pump({host.get()}, [&] { return bool(target = FindBySlot0(host, 99)); }));
    for (uint32_t i = FIRST; i < last; ++i)
      bytes += Packet(kind, messages ? target->id : 7, IntField(0, i) + FILL);
    sender = std::thread([this] {
      SendAll(fd, bytes);
      sent = true;
    });
  }
  ~Flood() {
    shutdown(fd, SHUT_RDWR);  // frees the sender should the host have stopped reading it
    sender.join();
    close(fd);
  }
  bool Relayed(int packetKind, const Bytes& payload) const {
    return packetKind == kind && payload.size() > FILL.size();
  }

  static constexpr uint32_t FIRST = 100000;
  inline static const Bytes FILL = B({0x61, 0xEA, 0x60}) + Bytes(60000, 'f');
  int kind, fd;
  uint32_t last;
  Bytes bytes;
  std::atomic<bool> sent{false};
  std::thread sender;
};

// The host takes a flooding peer's packets only as fast as the slow reader
// they are relayed to reads them: the reader gets every one, in order, and
// is never dropped (it once was, as soon as 8 MB were queued for it).
TEST_F(GNetHostile, AFloodRelayedToASlowReaderWaitsForIt) {
  for (bool messages : {true, false}) {
    SCOPED_TRACE(messages ? "messages to the reader's object" : "changes of the flooder's object");
    {
      SlowReader reader(host);
      // 18 MB: more than the queue and the kernel's buffers hold
      Flood flood(host, reader, Attacker(), messages, 300);
      uint32_t next = Flood::FIRST;
      bool up = true;
      for (auto end = Clock::now() + std::chrono::seconds(60); up && next < flood.last;) {
        host->Sync();
        good->Sync();
        up = reader.Step([&](int kind, int, const Bytes& payload) {
          if (!flood.Relayed(kind, payload)) return;
          EXPECT_EQ(Slot0Int(payload), next++);
        });
        if (Clock::now() > end) break;
        usleep(10000);  // 128 KB per 10 ms at most
      }
      EXPECT_TRUE(up) << "the reader was dropped after " << next - Flood::FIRST;
      EXPECT_EQ(next, flood.last);
      EXPECT_EQ(host->peers->Count(), 3) << "the flooder was slowed down, not dropped";
    }
    ASSERT_TRUE(Pump({host.get(), good.get()},
                     [&] { return host->peers->Count() == 1 && TableCount(good) == 2; }));
  }
  ExpectIntact();
}

// A reader that stops reading holds a flood back only for a while: then it
// is dropped as its queue fills, and the flood goes on to the others.
TEST_F(GNetHostile, AReaderThatStopsIsDroppedAndTheFloodGoesOn) {
  SlowReader reader(host);
  Flood flood(host, reader, Attacker(), false, 400);
  auto start = Clock::now();
  ASSERT_TRUE(Pump(
      {host.get(), good.get()}, [&] { return host->peers->Count() == 2; }, 30000));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(GNET_STALL_MS - 100))
      << "dropped before it was seen to have stopped";
  EXPECT_TRUE(Pump(
      {host.get(), good.get()}, [&] { return flood.sent && FindBySlot0(good, flood.last - 1); },
      30000));
  EXPECT_EQ(host->peers->Count(), 2);
}

TEST_F(GNetHostile, RandomBytesAfterACorrectHello) {
  std::mt19937 random(1234);
  for (int round = 0; round < 12; ++round) {
    int fd = Attacker();
    Bytes noise(1024 + random() % 8192, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    if (round % 3 == 0) noise = Packet(1 + random() % 5, random() % 4096) + noise;
    SendAll(fd, noise);
    for (int i = 0; i < 5; ++i) {
      host->Sync();
      good->Sync();
    }
    close(fd);
    ASSERT_TRUE(Pump({host.get(), good.get()},
                     [&] { return host->peers->Count() == 1 && TableCount(good) == 2; }))
        << "round " << round;
    EXPECT_EQ(TableCount(host), 2);
  }
  ExpectIntact();
}

TEST_F(GNetHostile, APeerThatStopsReadingIsDroppedWithoutStallingTheHost) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in address = Loopback(PortOf(host));
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  SendAll(fd, Hello());
  usleep(2000);
  ASSERT_TRUE(host->Accept());

  auto longest = Clock::duration::zero();
  String text(60000, u'a');
  int syncs = 0;
  for (; syncs < 3000 && host->peers->Count() == 2; ++syncs) {
    text[syncs % text.size()] = static_cast<char16_t>(u'b' + syncs % 20);
    hostObject->SetString(1, text);
    auto start = Clock::now();
    host->Sync();
    longest = std::max(longest, Clock::now() - start);
    good->Sync();
  }
  EXPECT_EQ(host->peers->Count(), 1) << "still connected after " << syncs << " syncs";
  EXPECT_GT(syncs, static_cast<int>(GNET_SEND_LIMIT / 60000))
      << "dropped before its queue was full";
  // A Sync that waited on the peer would sit until it counted as stalled.
  EXPECT_LT(longest, std::chrono::milliseconds(GNET_STALL_MS)) << "a Sync waited on the peer";
  Ref<TGNetObject> mirror;
  ASSERT_TRUE(Pump({host.get(), good.get()}, [&] {
    mirror = FindBySlot0(good, 1001);
    return mirror && mirror->GetString(1) == text;
  }));
  close(fd);
}

}  // namespace
}  // namespace kelpora
