// Keyed sessions: the handshake between two sides in memory, the order and
// integrity of sealed frames, and a keyed host refusing raw peers that do not
// complete the handshake (with nothing of theirs applied).
#include <sys/ioctl.h>

#include <memory>

#include "gnet_feed.h"
#include "gnet_test_support.h"

namespace kelpora {
namespace {

using namespace kelpora::testing;

std::vector<uint8_t> KeyBytes(uint8_t fill) { return std::vector<uint8_t>(GNET_KEY_SIZE, fill); }

TEST(GNetSession, HandshakeNeedsTheSameKeyOnBothSides) {
  struct Case {
    uint8_t initiatorKey, responderKey;
    int result;
    const char* reason;
  } cases[] = {{7, 7, 1, ""}, {7, 8, -1, "the peer holds another session key"}};
  for (const Case& c : cases) {
    TGNetKey ki(KeyBytes(c.initiatorKey)), kr(KeyBytes(c.responderKey));
    TGNetHandshake initiator(ki, true), responder(kr, false);
    EXPECT_EQ(ShakeHands(initiator, responder), std::pair(c.result, c.result));
    EXPECT_STREQ(initiator.Reason(), c.reason);
    EXPECT_STREQ(responder.Reason(), c.reason);
    EXPECT_EQ(bool(initiator.Session()), c.result == 1);
  }
  // Two responders with one key: each one's proof is for the responder's
  // role, so reflecting it at the other never passes.
  TGNetKey key(KeyBytes(7));
  TGNetHandshake r1(key, false), r2(key, false);
  EXPECT_EQ(ShakeHands(r1, r2), std::pair(-1, -1));
  EXPECT_STREQ(r1.Reason(), "the peer holds another session key");
  EXPECT_THROW(TGNetKey(std::vector<uint8_t>(31)), TRuntimeError);
}

TEST(GNetSession, PassphraseKeysAgreeOnlyForTheSamePassphrase) {
  auto a = TGNetKey::FromPassphrase("kelp forest");
  auto b = TGNetKey::FromPassphrase("kelp forest");
  auto c = TGNetKey::FromPassphrase("kelp forest!");
  EXPECT_EQ(Bytes(reinterpret_cast<const char*>(a->Data()), GNET_KEY_SIZE),
            Bytes(reinterpret_cast<const char*>(b->Data()), GNET_KEY_SIZE));
  EXPECT_NE(Bytes(reinterpret_cast<const char*>(a->Data()), GNET_KEY_SIZE),
            Bytes(reinterpret_cast<const char*>(c->Data()), GNET_KEY_SIZE));
}

// Frames sealed by one side open on the other only whole, once and in order.
TEST(GNetSession, FramesOpenOnlyUnalteredAndInOrder) {
  enum Change { NONE, FLIP, DROP, SWAP, REPEAT };
  for (Change change : {NONE, FLIP, DROP, SWAP, REPEAT}) {
    SCOPED_TRACE(change);
    TGNetKey key(KeyBytes(3));
    TGNetHandshake a(key, true), b(key, false);
    ASSERT_EQ(ShakeHands(a, b), std::pair(1, 1));
    auto sender = a.Session(), receiver = b.Session();
    std::vector<std::vector<uint8_t>> frames(3);
    for (size_t i = 0; i < frames.size(); ++i) {
      uint8_t plain[40] = {static_cast<uint8_t>(i)};
      sender->Seal(plain, sizeof plain, frames[i]);
      ASSERT_EQ(frames[i].size(), GNET_FRAME_HEADER + sizeof plain + GNET_SEAL_OVERHEAD);
    }
    if (change == FLIP) frames[1][30] ^= 0x10;
    if (change == DROP) frames.erase(frames.begin() + 1);
    if (change == SWAP) std::swap(frames[1], frames[2]);
    if (change == REPEAT) frames.insert(frames.begin() + 1, frames[0]);
    std::vector<int> opened;
    for (const auto& frame : frames) {
      uint8_t plain[40];
      if (!receiver->Open(frame.data() + GNET_FRAME_HEADER, frame.size() - GNET_FRAME_HEADER,
                          plain))
        break;
      opened.push_back(plain[0]);
    }
    EXPECT_EQ(opened, (change == NONE ? std::vector<int>{0, 1, 2} : std::vector<int>{0}));
  }
}

int Readable(int fd) {
  int n = 0;
  ioctl(fd, FIONREAD, &n);
  return n;
}

// A raw connection that runs the initiator's handshake against `host`,
// keeping every byte it sent.
struct KeyedRawPeer {
  KeyedRawPeer(const Ref<TGNetHost>& host, const TGNetKey& key)
      : fd(RawConnect(PortOf(host))), handshake(key, true) {
    const auto& challenge = handshake.Challenge();
    Say(Hello() + Bytes(challenge.begin(), challenge.end()));
    usleep(2000);
    host->Accept();
    size_t answer = 6 + GNET_CHALLENGE_SIZE + GNET_PROOF_SIZE;
    EXPECT_TRUE(Pump({host.get()}, [&] { return Readable(fd) >= static_cast<int>(answer); }));
    Bytes got = ReadFor(fd, 2000, answer);
    EXPECT_EQ(got.size(), answer);
    std::vector<uint8_t> reply;
    for (size_t at = 6; result == 0 && at + handshake.Wanted() <= got.size();) {
      size_t want = handshake.Wanted();
      result = handshake.Take(reinterpret_cast<const uint8_t*>(got.data() + at), reply);
      at += want;
    }
    Say(Bytes(reply.begin(), reply.end()));
    session = handshake.Session();
  }
  ~KeyedRawPeer() { close(fd); }
  void Say(const Bytes& bytes) {
    sent += bytes;
    SendAll(fd, bytes);
  }
  // Seals `plain` as one frame and sends it.
  void SaySealed(const Bytes& plain) {
    std::vector<uint8_t> frame;
    session->Seal(reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), frame);
    Say(Bytes(frame.begin(), frame.end()));
  }
  int fd;
  TGNetHandshake handshake;
  int result = 0;
  std::unique_ptr<TGNetSession> session;
  Bytes sent;
};

TEST(GNetSession, KeyedHostTakesSealedPacketsFromAPeerWithTheKey) {
  auto host = ListeningHost();
  host->SetSessionKey(KeyBytes(9));
  TGNetKey key(KeyBytes(9));
  KeyedRawPeer peer(host, key);
  ASSERT_EQ(peer.result, 1) << peer.handshake.Reason();
  ASSERT_TRUE(Pump({host.get()}, [&] { return host->peers->Count() == 1; }));
  // Two packets in one frame, then one packet split across two frames.
  Bytes create = Packet(1, 7, IntField(0, 4242));
  Bytes change = Packet(2, 7, IntField(0, 4343));
  peer.SaySealed(create + change.substr(0, 3));
  peer.SaySealed(change.substr(3));
  ASSERT_TRUE(Pump({host.get()}, [&] {
    auto object = FindBySlot0(host, 4343);
    return object && IsRemote(object);
  }));
  EXPECT_TRUE(host->TakeRefusals().empty());
}

// Connections to a keyed host that do not complete the handshake are closed
// within the hello's time limit, with a note saying why, and nothing they
// sent is applied.
TEST(GNetSession, KeyedHostRefusesWhoeverDoesNotProveTheKey) {
  auto host = ListeningHost();
  host->SetSessionKey(KeyBytes(5));
  TGNetKey key(KeyBytes(5));
  Bytes replay;
  {
    KeyedRawPeer honest(host, key);
    ASSERT_EQ(honest.result, 1);
    honest.SaySealed(Packet(1, 3, IntField(0, 1111)));
    ASSERT_TRUE(Pump({host.get()}, [&] { return bool(FindBySlot0(host, 1111)); }));
    replay = honest.sent;
  }
  ASSERT_TRUE(Pump({host.get()}, [&] { return host->peers->Count() == 0; }));
  ASSERT_EQ(TableCount(host), 0);
  struct Case {
    const char* name;
    Bytes bytes;
    const char* reason;
  } cases[] = {
      {"stops after the hello", Hello(), "no key handshake in time"},
      {"talks without a key", Hello() + Packet(1, 7, IntField(0, 2222)),
       "the peer has no session key"},
      {"replays an earlier session", replay, "the peer holds another session key"},
      {"wrong hello", B({1, 15, 2, 15, 0, 1}), "wrong hello"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int fd = RawConnect(PortOf(host));
    SendAll(fd, c.bytes);
    usleep(2000);
    host->Accept();
    std::vector<String> notes;
    EXPECT_TRUE(Pump({host.get()}, [&] {
      for (auto& note : host->TakeRefusals()) notes.push_back(note);
      return !notes.empty();
    }));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(ToBytes(notes[0]).find(c.reason), std::string::npos) << ToBytes(notes[0]);
    EXPECT_TRUE(Pump({}, [&] { return PeerClosed(fd); }));
    EXPECT_EQ(host->peers->Count(), 0);
    EXPECT_EQ(TableCount(host), 0);
    close(fd);
  }
}

}  // namespace
}  // namespace kelpora
