// Keyed GNet sessions: a shared key, the challenge-response that follows the
// hello, and the sealed, ordered stream every later byte travels in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kelpora {

constexpr size_t GNET_KEY_SIZE = 32;
// The first handshake frame: a packet header of kind 0 with this id, then a
// fresh nonce and an ephemeral public key. A peer without a key that
// follows the plain wire format takes it as a packet of no kind and ignores it.
constexpr int32_t GNET_CHALLENGE_ID = 0x5E5;
constexpr size_t GNET_CHALLENGE_PAYLOAD = 64;
constexpr size_t GNET_CHALLENGE_SIZE = 4 + GNET_CHALLENGE_PAYLOAD;
// Whether the 4 bytes at `header` start a challenge frame.
bool IsGNetChallenge(const uint8_t* header);
// The second: a proof of the key over both challenges and the header of the
// sender's sealed stream.
constexpr int32_t GNET_PROOF_ID = 0x5E6;
constexpr size_t GNET_PROOF_SIZE = 4 + 32 + 24;
// Plain bytes sealed in one frame at most; a frame is a 4-byte big-endian
// length, then the sealed bytes (plain + GNET_SEAL_OVERHEAD).
constexpr size_t GNET_FRAME_PLAIN_MAX = 256u << 10;
constexpr size_t GNET_SEAL_OVERHEAD = 17;
constexpr size_t GNET_FRAME_HEADER = 4;

// A 32-byte session key, wiped when it goes.
class TGNetKey {
 public:
  // Raises "GNet session key must be 32 bytes" for another size.
  explicit TGNetKey(const std::vector<uint8_t>& bytes);
  ~TGNetKey();
  TGNetKey(const TGNetKey&) = delete;
  TGNetKey& operator=(const TGNetKey&) = delete;
  // Derives the key from a passphrase with the library's password hash
  // (Argon2id, interactive limits, a salt fixed for GNet so that every host
  // given the same passphrase derives the same key). Raises "GNet key
  // derivation failed" when the hash cannot get its memory.
  static std::unique_ptr<TGNetKey> FromPassphrase(const std::string& passphrase);
  const uint8_t* Data() const { return bytes_.data(); }

 private:
  TGNetKey() = default;
  std::array<uint8_t, GNET_KEY_SIZE> bytes_{};
};

// Seals what one side sends and opens what the other sent, in order: a
// frame that was altered, dropped, repeated or moved fails to open.
class TGNetSession {
 public:
  ~TGNetSession();
  // Appends `n` bytes (n ≤ GNET_FRAME_PLAIN_MAX) to `out` as one frame.
  void Seal(const uint8_t* plain, size_t n, std::vector<uint8_t>& out);
  // Opens the sealed part of one frame (`n` bytes, after its length) into
  // `plain` (room for n - GNET_SEAL_OVERHEAD); false when it fails.
  bool Open(const uint8_t* sealed, size_t n, uint8_t* plain);

 private:
  friend class TGNetHandshake;
  struct State;
  TGNetSession();
  std::unique_ptr<State> state_;
};

// One side of the handshake, fed the other side's bytes as they come.
// The side that connected is the initiator; the proofs of the two roles
// differ, so that neither can be reflected back to its maker.
class TGNetHandshake {
 public:
  TGNetHandshake(const TGNetKey& key, bool initiator);
  ~TGNetHandshake();
  // The challenge frame this side sends right after its hello.
  const std::vector<uint8_t>& Challenge() const { return challenge_; }
  // Bytes still wanted before the next step can be taken.
  size_t Wanted() const;
  // Takes exactly Wanted() bytes. Returns 1 when the handshake is complete,
  // 0 when more is wanted, -1 when the other side is refused (Reason() says
  // why). Appends to `reply` what must be sent back.
  int32_t Take(const uint8_t* bytes, std::vector<uint8_t>& reply);
  const char* Reason() const { return reason_; }
  // The session, once Take returned 1.
  std::unique_ptr<TGNetSession> Session();

 private:
  struct Secrets;
  int32_t TakeChallenge(const uint8_t* bytes, std::vector<uint8_t>& reply);
  int32_t TakeProof(const uint8_t* bytes);

  bool initiator_;
  // 0 awaiting the challenge's header, 1 its payload, 2 the proof, 3 done, -1 refused
  int32_t stage_ = 0;
  const char* reason_ = "";
  std::vector<uint8_t> challenge_;
  std::unique_ptr<Secrets> secrets_;
  std::unique_ptr<TGNetSession> session_;
};

}  // namespace kelpora
