#include "gnet/gnet_host.h"

#include <gtest/gtest.h>

#include <map>
#include <type_traits>

#include "gnet_test_support.h"

namespace kelpora {
namespace {

using namespace kelpora::testing;

TEST(GNetHost, LocalObjectsGoOutInTheWireFormatAndCountTheirBytes) {
  static_assert(std::is_same_v<decltype(GNetBytesSent()), uint64_t>,
                "totals must not wrap at 4 GB");
  static_assert(std::is_same_v<decltype(GNetBytesReceived()), uint64_t>);
  auto host = ListeningHost();
  int fd = RawPeerOf(host);
  Ref<TGNetPeer> peer = RefCast<TGNetPeer>(host->peers->First());
  uint64_t sentBefore = GNetBytesSent();

  auto object = host->CreateObject();
  ASSERT_EQ(object->id, 1);
  auto unsent = host->CreateObject();
  unsent->SetString(3, u"never");
  unsent->Close();
  host->Sync();
  EXPECT_EQ(ReadFor(fd, 300), Packet(1, 1))
      << "no slots: a bare header with length 2, and nothing for the closed one";
  EXPECT_EQ(TableCount(host), 1) << "the closed object's id is free again";

  object->SetInt(0, 70000);
  object->SetFloat(2, 1.0f);
  host->Sync();
  EXPECT_EQ(ReadFor(fd, 300), Packet(2, 1, Bytes{0x20, 0, 1, 0x11, 0x70, 0x42, 0x3C, 0}));
  host->Sync();
  EXPECT_EQ(ReadFor(fd, 100), "") << "nothing changed";
  EXPECT_EQ(GNetBytesSent() - sentBefore, 4u + 12u);
  EXPECT_EQ(peer->bytesSent, 16u);

  object->Close();
  host->Sync();
  EXPECT_EQ(ReadFor(fd, 300), Packet(3, 1));
  EXPECT_EQ(host->objects->Count(), 0);
  EXPECT_FALSE(host->table[1]);
  close(fd);
}

TEST(GNetHost, RemoteObjectsAndMessagesArriveInTheirLists) {
  auto host = ListeningHost();
  auto mine = host->CreateObject();
  host->Sync();
  int fd = RawPeerOf(host);
  EXPECT_EQ(ReadFor(fd, 300), Packet(1, mine->id)) << "a new peer hears of existing objects";
  uint64_t receivedBefore = GNetBytesReceived();

  // The peer's object 0x123 arrives in two pieces; the header waits for its payload.
  Bytes create = Packet(1, 0x123, B({0x80, 200, 0xA1, 1, 44, 0x62, 0, 2, 'h', 'i'}));
  SendAll(fd, create.substr(0, 6));
  ASSERT_TRUE(Pump({host.get()}, [&] { return GNetBytesReceived() - receivedBefore >= 6; }));
  EXPECT_EQ(host->created->Count(), 0);
  SendAll(fd, create.substr(6));
  ASSERT_TRUE(Pump({host.get()}, [&] { return host->created->Count() == 1; }));
  auto remote = RefCast<TGNetObject>(host->created->First());
  EXPECT_TRUE(IsRemote(remote) && !IsLocal(remote));
  EXPECT_EQ(remote->id, 2);
  EXPECT_EQ(remote->slots[0].kind, GNET_BYTE);
  EXPECT_EQ(remote->GetInt(0), 200);
  EXPECT_EQ(remote->slots[1].kind, GNET_SHORT);
  EXPECT_EQ(remote->GetInt(1), 300);
  EXPECT_EQ(remote->GetString(2), u"hi");
  EXPECT_EQ(GNetObjects(host, GNET_ALL)->Count(), 2);

  // A peer joining now hears of the object that arrived in the last Sync too:
  // its create went out before the peer was there.
  int late = RawPeerOf(host);
  EXPECT_EQ(ReadFor(late, 1000, 4 + create.size()),
            Packet(1, mine->id) + Packet(1, remote->id, create.substr(4)));
  close(late);

  SendAll(fd, Packet(2, 0x123, B({0x20, 0xFF, 0xFF, 0xFF, 0xFF})) +
                  Packet(5, mine->id, Bytes{0x43, 0x3C, 0}));
  ASSERT_TRUE(Pump({host.get()}, [&] { return host->messages->Count() == 1; }));
  EXPECT_EQ(GNetObjects(host, GNET_MODIFIED_LIST)->First(), remote);
  EXPECT_EQ(remote->slots[0].kind, GNET_INT);
  EXPECT_EQ(remote->GetInt(0), -1);
  auto message = RefCast<TGNetObject>(GNetMessages(host)->First());
  EXPECT_EQ(message->State(), GNET_MESSAGE);
  EXPECT_EQ(message->GetFloat(3), 1.0f);
  EXPECT_EQ(GNetMessageObject(message), mine);

  // The lists' nodes are refilled at the next Sync, but not one the
  // application stands on: that one is let go of, as when they were emptied.
  Ref<TListEnumerator> walk = host->modified->Enumerate();
  SendAll(fd, Packet(2, 0x123, B({0x80, 5})));
  ASSERT_TRUE(Pump({host.get()}, [&] { return host->modified->Count() == 1; }));
  EXPECT_FALSE(walk->NextObject());
  EXPECT_EQ(host->modified->First(), remote);

  SendAll(fd, Packet(3, 0x123));
  ASSERT_TRUE(Pump({host.get()}, [&] { return host->closed->Count() == 1; }));
  EXPECT_EQ(GNetObjects(host, GNET_CLOSED_LIST)->First(), remote);
  EXPECT_FALSE(host->table[2]);
  host->Sync();
  EXPECT_EQ(host->objects->Count(), 1);
  EXPECT_EQ(host->created->Count() + host->modified->Count() + host->closed->Count() +
                host->messages->Count(),
            0);
  EXPECT_EQ(ErrorText([&] { GNetObjects(host, 4); }), "Unknown object state");
  close(fd);
}

TEST(GNetHost, TheIdsRunOutAtThe4096thLocalObject) {
  auto host = CreateGNetHost();
  for (int i = 1; i <= 4095; ++i) ASSERT_EQ(host->CreateObject()->id, i);
  EXPECT_EQ(ErrorText([&] { host->CreateObject(); }), "Out of GNet object IDs");
  RefCast<TGNetObject>(host->objects->ValueAtIndex(99))->Close();
  host->Sync();
  EXPECT_EQ(host->CreateObject()->id, 100);
}

// A peer that joins where the objects hold more than its send queue may is
// told of them as fast as it reads (it was once told of all at once, and
// dropped), and never hears of a change or close of one before the object.
TEST(GNetHost, ALateJoinerIsToldOfEveryObjectAsFastAsItReads) {
  auto host = ListeningHost();
  constexpr int COUNT = 300;  // 18 MB
  std::vector<Ref<TGNetObject>> made;
  for (int i = 0; i < COUNT; ++i) {
    made.push_back(host->CreateObject());
    made.back()->SetInt(0, 100000 + i);
    made.back()->SetString(1, String(60000, u'o'));
  }
  host->Sync();
  SlowReader joiner(host);

  std::map<int, int64_t> seen, there;  // id: slot 0, at the joiner and here
  bool inOrder = true, up = true;
  auto take = [&](int kind, int id, const Bytes& payload) {
    if (kind == GNET_CREATED) inOrder &= seen.emplace(id, Slot0Int(payload)).second;
    if (kind == GNET_MODIFIED) inOrder &= seen.count(id) && (seen[id] = Slot0Int(payload)) >= 0;
    if (kind == GNET_CLOSING) inOrder &= seen.erase(id) == 1;
  };
  // Once the first objects are in, the last changes, the one before it
  // closes, and then its id goes to a new object.
  Ref<TGNetObject> last = made[COUNT - 1], closing = made[COUNT - 2];
  int step = 0;
  for (auto end = Clock::now() + std::chrono::seconds(60); up && Clock::now() < end;) {
    host->Sync();
    up = joiner.Step(take);
    if (step == 0 && !seen.empty()) {
      ASSERT_FALSE(seen.count(last->id) || seen.count(closing->id)) << "announced too soon";
      last->SetInt(0, 200000);
      closing->Close();
      ++step;
    } else if (step == 1) {
      Ref<TGNetObject> taker = host->CreateObject();
      EXPECT_EQ(taker->id, closing->id);
      taker->SetInt(0, 300000);
      ++step;
    }
    there.clear();
    for (auto& o : host->table) {
      if (o) there[o->id] = o->GetInt(0);
    }
    if (step == 2 && seen == there) break;
    usleep(10000);  // 128 KB per 10 ms at most
  }
  EXPECT_TRUE(up) << "the joiner was dropped after " << seen.size() << " objects";
  EXPECT_TRUE(inOrder) << "a change, close or second create of an object it was not told of";
  EXPECT_EQ(seen, there);
  EXPECT_EQ(host->peers->Count(), 1);
}

TEST(GNetHost, HelloIsGatheredWithoutBlockingAndWrongOrLateOnesAreRefused) {
  auto host = ListeningHost();
  auto object = host->CreateObject();
  host->Sync();

  // Silent and split hellos: Accept and Sync return at once.
  // (The listener's backlog is 0: each connection is taken before the next.)
  auto start = Clock::now();
  int silent = RawConnect(PortOf(host));
  EXPECT_FALSE(host->Accept());
  int split = RawConnect(PortOf(host));
  EXPECT_FALSE(host->Accept());
  EXPECT_EQ(host->GreetingCount(), 2);
  SendAll(split, Hello().substr(0, 3));
  host->Sync();
  SendAll(split, Hello().substr(3));
  ASSERT_TRUE(Pump({host.get()}, [&] { return host->peers->Count() == 1; }));
  // The silent one still waits for its hello: nothing sat out its time.
  EXPECT_EQ(host->GreetingCount(), 1) << "a silent connection held up Accept";
  Bytes greeting = ReadFor(split, 500, 10);
  EXPECT_EQ(greeting.substr(0, 4), Hello().substr(0, 4));
  EXPECT_EQ(greeting.substr(6), Packet(1, object->id)) << "the joined peer hears of the object";
  // The silent one is closed once its time is up; the split one stays.
  EXPECT_TRUE(Pump(
      {host.get()}, [&] { return PeerClosed(silent); }, GNET_HELLO_TIMEOUT_MS + 2000));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(GNET_HELLO_TIMEOUT_MS - 100));
  EXPECT_EQ(host->GreetingCount(), 0);
  EXPECT_EQ(host->peers->Count(), 1);

  // Other first bytes: refused and closed at once.
  int wrong = RawConnect(PortOf(host));
  SendAll(wrong, Bytes{1, 15, 2, 13, 0, 0});
  usleep(2000);
  EXPECT_FALSE(host->Accept());
  EXPECT_TRUE(Pump(
      {host.get()}, [&] { return PeerClosed(wrong); }, 1000));
  EXPECT_EQ(host->peers->Count(), 1);

  // Connecting: a wrong answer gives none, and so does no answer in time.
  OneShotServer wrongServer([](int fd) {
    SendAll(fd, Bytes{2, 15, 2, 14, 0, 1});
    RecvAll(fd, 6);
  });
  EXPECT_FALSE(host->Connect(u"127.0.0.1", wrongServer.port()));
  OneShotServer mute([](int fd) { RecvAll(fd); });
  start = Clock::now();
  EXPECT_FALSE(host->Connect(u"localhost", mute.port()));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(GNET_HELLO_TIMEOUT_MS - 100));
  EXPECT_EQ(host->peers->Count(), 1);
  for (int fd : {silent, split, wrong}) close(fd);
}

}  // namespace
}  // namespace kelpora
