#include "gnet/gnet_session.h"

#include <sodium.h>

#include <cstring>

#include "gnet/gnet_packet.h"
#include "runtime/errors.h"

namespace kelpora {

namespace {

static_assert(GNET_KEY_SIZE == crypto_kdf_KEYBYTES);
static_assert(GNET_SEAL_OVERHEAD == crypto_secretstream_xchacha20poly1305_ABYTES);
static_assert(GNET_PROOF_SIZE == GNET_HEADER_SIZE + crypto_auth_BYTES +
                                     crypto_secretstream_xchacha20poly1305_HEADERBYTES);
static_assert(GNET_CHALLENGE_PAYLOAD == 32 + crypto_kx_PUBLICKEYBYTES);

// Every host given the same passphrase must derive the same key without
// exchanging anything, so the salt is GNet's own, not random.
constexpr char PASSPHRASE_SALT[crypto_pwhash_SALTBYTES + 1] = "kelpora-gnet-key";
constexpr char KDF_CONTEXT[crypto_kdf_CONTEXTBYTES + 1] = "GNetSess";
constexpr uint64_t PROOF_SUBKEY = 1;
constexpr uint64_t STREAM_SUBKEY = 2;
constexpr size_t TRANSCRIPT = 2 * GNET_CHALLENGE_PAYLOAD;

void Ready() {
  if (sodium_init() < 0) RaiseError(u"GNet session set-up failed");
}

void Header(uint8_t* out, int32_t id, size_t total) {
  WriteGNetHeader(out, 0, id, static_cast<int32_t>(total - GNET_HEADER_SIZE));
}

bool IsHeader(const uint8_t* bytes, int32_t id, size_t total) {
  uint8_t want[GNET_HEADER_SIZE];
  Header(want, id, total);
  return std::memcmp(bytes, want, GNET_HEADER_SIZE) == 0;
}

}  // namespace

bool IsGNetChallenge(const uint8_t* header) {
  return IsHeader(header, GNET_CHALLENGE_ID, GNET_CHALLENGE_SIZE);
}

TGNetKey::TGNetKey(const std::vector<uint8_t>& bytes) {
  if (bytes.size() != GNET_KEY_SIZE) RaiseError(u"GNet session key must be 32 bytes");
  std::memcpy(bytes_.data(), bytes.data(), GNET_KEY_SIZE);
}

TGNetKey::~TGNetKey() { sodium_memzero(bytes_.data(), bytes_.size()); }

std::unique_ptr<TGNetKey> TGNetKey::FromPassphrase(const std::string& passphrase) {
  Ready();
  std::unique_ptr<TGNetKey> key(new TGNetKey());
  if (crypto_pwhash(key->bytes_.data(), key->bytes_.size(), passphrase.data(), passphrase.size(),
                    reinterpret_cast<const unsigned char*>(PASSPHRASE_SALT),
                    crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE,
                    crypto_pwhash_ALG_ARGON2ID13) != 0)
    RaiseError(u"GNet key derivation failed");
  return key;
}

struct TGNetSession::State {
  crypto_secretstream_xchacha20poly1305_state push;
  crypto_secretstream_xchacha20poly1305_state pull;
  ~State() { sodium_memzero(this, sizeof *this); }
};

TGNetSession::TGNetSession() : state_(std::make_unique<State>()) {}
TGNetSession::~TGNetSession() = default;

void TGNetSession::Seal(const uint8_t* plain, size_t n, std::vector<uint8_t>& out) {
  size_t at = out.size();
  size_t sealed = n + GNET_SEAL_OVERHEAD;
  out.resize(at + GNET_FRAME_HEADER + sealed);
  uint8_t* frame = out.data() + at;
  for (size_t i = 0; i < GNET_FRAME_HEADER; ++i)
    frame[i] = static_cast<uint8_t>(sealed >> (8 * (GNET_FRAME_HEADER - 1 - i)));
  crypto_secretstream_xchacha20poly1305_push(&state_->push, frame + GNET_FRAME_HEADER, nullptr,
                                             plain, n, nullptr, 0,
                                             crypto_secretstream_xchacha20poly1305_TAG_MESSAGE);
}

bool TGNetSession::Open(const uint8_t* sealed, size_t n, uint8_t* plain) {
  if (n < GNET_SEAL_OVERHEAD) return false;
  unsigned char tag = 0;
  return crypto_secretstream_xchacha20poly1305_pull(&state_->pull, plain, nullptr, &tag, sealed, n,
                                                    nullptr, 0) == 0 &&
         tag == crypto_secretstream_xchacha20poly1305_TAG_MESSAGE;
}

// What the handshake holds until it is done; wiped when it goes.
struct TGNetHandshake::Secrets {
  uint8_t proofKey[crypto_auth_KEYBYTES];
  uint8_t streamKey[crypto_generichash_KEYBYTES];
  uint8_t publicKey[crypto_kx_PUBLICKEYBYTES];
  uint8_t secretKey[crypto_kx_SECRETKEYBYTES];
  // The initiator's challenge payload, then the responder's.
  uint8_t transcript[TRANSCRIPT];
  ~Secrets() { sodium_memzero(this, sizeof *this); }
};

TGNetHandshake::TGNetHandshake(const TGNetKey& key, bool initiator)
    : initiator_(initiator), secrets_(std::make_unique<Secrets>()) {
  Ready();
  Secrets& s = *secrets_;
  crypto_kdf_derive_from_key(s.proofKey, sizeof s.proofKey, PROOF_SUBKEY, KDF_CONTEXT, key.Data());
  crypto_kdf_derive_from_key(s.streamKey, sizeof s.streamKey, STREAM_SUBKEY, KDF_CONTEXT,
                             key.Data());
  crypto_kx_keypair(s.publicKey, s.secretKey);
  challenge_.resize(GNET_CHALLENGE_SIZE);
  Header(challenge_.data(), GNET_CHALLENGE_ID, GNET_CHALLENGE_SIZE);
  uint8_t* payload = challenge_.data() + GNET_HEADER_SIZE;
  randombytes_buf(payload, 32);
  std::memcpy(payload + 32, s.publicKey, sizeof s.publicKey);
  std::memcpy(s.transcript + (initiator ? 0 : GNET_CHALLENGE_PAYLOAD), payload,
              GNET_CHALLENGE_PAYLOAD);
}

TGNetHandshake::~TGNetHandshake() = default;

size_t TGNetHandshake::Wanted() const {
  switch (stage_) {
    case 0:
      return GNET_HEADER_SIZE;
    case 1:
      return GNET_CHALLENGE_PAYLOAD;
    case 2:
      return GNET_PROOF_SIZE;
    default:
      return 0;
  }
}

int32_t TGNetHandshake::Take(const uint8_t* bytes, std::vector<uint8_t>& reply) {
  int32_t result = -1;
  switch (stage_) {
    case 0:
      if (IsHeader(bytes, GNET_CHALLENGE_ID, GNET_CHALLENGE_SIZE)) {
        stage_ = 1;
        return 0;
      }
      // A packet of a kind peers exchange: it talks without a key.
      reason_ = (bytes[2] >> 4) >= GNET_CREATED && (bytes[2] >> 4) <= GNET_MESSAGE
                    ? "the peer has no session key"
                    : "the peer sent no key challenge";
      break;
    case 1:
      result = TakeChallenge(bytes, reply);
      break;
    case 2:
      result = TakeProof(bytes);
      break;
    default:
      reason_ = "handshake already over";
      break;
  }
  if (result < 0) {
    stage_ = -1;
    secrets_.reset();
  }
  return result;
}

int32_t TGNetHandshake::TakeChallenge(const uint8_t* bytes, std::vector<uint8_t>& reply) {
  Secrets& s = *secrets_;
  uint8_t* theirs = s.transcript + (initiator_ ? GNET_CHALLENGE_PAYLOAD : 0);
  const uint8_t* mine = challenge_.data() + GNET_HEADER_SIZE;
  if (sodium_memcmp(bytes, mine, 32) == 0) {
    reason_ = "the peer sent our own challenge back";
    return -1;
  }
  std::memcpy(theirs, bytes, GNET_CHALLENGE_PAYLOAD);
  // Ephemeral keys agreed by both sides, so that the traffic stays sealed
  // even if the session key leaks later.
  uint8_t rx[crypto_kx_SESSIONKEYBYTES], tx[crypto_kx_SESSIONKEYBYTES];
  int failed = initiator_
                   ? crypto_kx_client_session_keys(rx, tx, s.publicKey, s.secretKey, theirs + 32)
                   : crypto_kx_server_session_keys(rx, tx, s.publicKey, s.secretKey, theirs + 32);
  sodium_memzero(s.secretKey, sizeof s.secretKey);
  if (failed) {
    reason_ = "the peer's key exchange is invalid";
    return -1;
  }
  // Each direction's stream key mixes the shared key, the exchange and both challenges.
  uint8_t sendKey[crypto_secretstream_xchacha20poly1305_KEYBYTES];
  uint8_t receiveKey[crypto_secretstream_xchacha20poly1305_KEYBYTES];
  for (auto [out, part] : {std::pair{sendKey, tx}, std::pair{receiveKey, rx}}) {
    crypto_generichash_state hash;
    crypto_generichash_init(&hash, s.streamKey, sizeof s.streamKey, 32);
    crypto_generichash_update(&hash, part, crypto_kx_SESSIONKEYBYTES);
    crypto_generichash_update(&hash, s.transcript, TRANSCRIPT);
    crypto_generichash_final(&hash, out, 32);
    sodium_memzero(&hash, sizeof hash);
  }
  sodium_memzero(rx, sizeof rx);
  sodium_memzero(tx, sizeof tx);

  session_.reset(new TGNetSession());
  size_t at = reply.size();
  reply.resize(at + GNET_PROOF_SIZE);
  uint8_t* proof = reply.data() + at;
  Header(proof, GNET_PROOF_ID, GNET_PROOF_SIZE);
  // The role is the first byte proven, so a proof never passes for the other role's.
  uint8_t message[1 + TRANSCRIPT];
  message[0] = initiator_ ? 'I' : 'R';
  std::memcpy(message + 1, s.transcript, TRANSCRIPT);
  crypto_auth(proof + GNET_HEADER_SIZE, message, sizeof message, s.proofKey);
  crypto_secretstream_xchacha20poly1305_init_push(
      &session_->state_->push, proof + GNET_HEADER_SIZE + crypto_auth_BYTES, sendKey);
  // Kept for the pull side, which starts once the peer's stream header comes.
  std::memcpy(s.streamKey, receiveKey, sizeof receiveKey);
  sodium_memzero(sendKey, sizeof sendKey);
  sodium_memzero(receiveKey, sizeof receiveKey);
  stage_ = 2;
  return 0;
}

int32_t TGNetHandshake::TakeProof(const uint8_t* bytes) {
  Secrets& s = *secrets_;
  if (!IsHeader(bytes, GNET_PROOF_ID, GNET_PROOF_SIZE)) {
    reason_ = "the peer sent no key proof";
    return -1;
  }
  uint8_t message[1 + TRANSCRIPT];
  message[0] = initiator_ ? 'R' : 'I';
  std::memcpy(message + 1, s.transcript, TRANSCRIPT);
  if (crypto_auth_verify(bytes + GNET_HEADER_SIZE, message, sizeof message, s.proofKey) != 0) {
    reason_ = "the peer holds another session key";
    return -1;
  }
  if (crypto_secretstream_xchacha20poly1305_init_pull(&session_->state_->pull,
                                                      bytes + GNET_HEADER_SIZE + crypto_auth_BYTES,
                                                      s.streamKey) != 0) {
    reason_ = "the peer's stream header is invalid";
    return -1;
  }
  secrets_.reset();
  stage_ = 3;
  return 1;
}

std::unique_ptr<TGNetSession> TGNetHandshake::Session() {
  return stage_ == 3 ? std::move(session_) : nullptr;
}

}  // namespace kelpora
