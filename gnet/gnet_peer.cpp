#include "gnet/gnet_peer.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "runtime/errors.h"
#include "stream/socket.h"

namespace kelpora {

namespace {

std::atomic<uint64_t> totalReceived{0};
std::atomic<uint64_t> totalSent{0};

// Reads and writes of this size or more go to the socket in one call.
constexpr size_t CHUNK = 64u << 10;

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void CheckId(int32_t id) {
  if (id < 0 || id >= GNET_IDS) throw TArrayBoundsError();
}

}  // namespace

uint64_t GNetBytesReceived() { return totalReceived.load(std::memory_order_relaxed); }
uint64_t GNetBytesSent() { return totalSent.load(std::memory_order_relaxed); }

TGNetPeer::TGNetPeer() = default;

TGNetPeer::~TGNetPeer() { Close(); }

Ref<TGNetPeer> TGNetPeer::Create(const Ref<TSocket>& tcp, const Ref<TSocket>& udp) {
  auto peer = MakeRef<TGNetPeer>();
  peer->socket = tcp;
  peer->connection = tcp;
  peer->datagram = udp;
  peer->lastTakenMs_ = NowMs();
  return peer;
}

int32_t TGNetPeer::Update() {
  // Keyed, what is not sealed yet waits for the Sync's last Flush, so that
  // a Sync's packets go out in one frame.
  if (!down_) Write();
  if (down_ || ended_ || !connection || connection->Handle() < 0) {
    Close();
    return 0;
  }
  return 1;
}

void TGNetPeer::Close() {
  if (!down_ && connection && connection->Handle() >= 0) Flush();
  down_ = true;
  if (connection) connection->Close();
  if (datagram) datagram->Close();
  out_.clear();
  outPos_ = 0;
  plain_.clear();
}

void TGNetPeer::MapIds(int32_t local, int32_t remote) {
  CheckId(local);
  CheckId(remote);
  localToRemote[local] = remote;
  remoteToLocal[remote] = local;
}

void TGNetPeer::UnmapId(int32_t local) {
  CheckId(local);
  int32_t remote = localToRemote[local];
  if (remote != 0 && remoteToLocal[remote] == local) remoteToLocal[remote] = 0;
  localToRemote[local] = 0;
}

int32_t TGNetPeer::ReceiveBytes(void* buf, int32_t n) {
  if (down_ || ended_ || !connection || connection->Handle() < 0) return 0;
  errno = 0;
  int32_t got = connection->Recv(buf, n, MSG_DONTWAIT);
  if (got == 0 && n > 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    // An orderly end or a reset: the connection is down.
    if (errno == 0 || errno == ECONNRESET || errno == ETIMEDOUT || errno == EPIPE) {
      ended_ = true;
      return 0;
    }
    RaiseError(u"GNet Recv Error");
  }
  bytesReceived += static_cast<uint32_t>(got);
  totalReceived.fetch_add(static_cast<uint32_t>(got), std::memory_order_relaxed);
  return got;
}

int32_t TGNetPeer::SendBytes(const void* buf, int32_t n) {
  if (down_ || !connection || connection->Handle() < 0) {
    down_ = true;
    return 0;
  }
  int32_t sent = connection->Send(buf, n, MSG_DONTWAIT);
  if (sent == 0 && n > 0 && errno != EAGAIN && errno != EWOULDBLOCK) down_ = true;
  bytesSent += static_cast<uint32_t>(sent);
  totalSent.fetch_add(static_cast<uint32_t>(sent), std::memory_order_relaxed);
  return sent;
}

bool TGNetPeer::Fill(size_t want) {
  if (session_) return FillSealed(want);
  while (inEnd_ - inPos_ < want) {
    if (receiveBudget == 0) return false;
    if (inPos_ > 0) {
      std::memmove(in_.get(), in_.get() + inPos_, inEnd_ - inPos_);
      inEnd_ -= inPos_;
      inPos_ = 0;
    }
    size_t take = std::min(receiveBudget, std::max(want - inEnd_, CHUNK));
    if (inSize_ < inEnd_ + take) {
      auto larger = std::make_unique_for_overwrite<uint8_t[]>(inEnd_ + take);
      if (inEnd_) std::memcpy(larger.get(), in_.get(), inEnd_);
      in_ = std::move(larger);
      inSize_ = inEnd_ + take;
    }
    int32_t got = ReceiveBytes(in_.get() + inEnd_, static_cast<int32_t>(take));
    inEnd_ += static_cast<size_t>(got);
    receiveBudget -= static_cast<size_t>(got);
    if (got == 0) return false;
  }
  return true;
}

void TGNetPeer::Reserve(size_t more) {
  if (inPos_ > 0) {
    std::memmove(in_.get(), in_.get() + inPos_, inEnd_ - inPos_);
    inEnd_ -= inPos_;
    inPos_ = 0;
  }
  if (inSize_ >= inEnd_ + more) return;
  auto larger = std::make_unique_for_overwrite<uint8_t[]>(inEnd_ + more);
  if (inEnd_) std::memcpy(larger.get(), in_.get(), inEnd_);
  in_ = std::move(larger);
  inSize_ = inEnd_ + more;
}

bool TGNetPeer::FillSealed(size_t want) {
  while (inEnd_ - inPos_ < want) {
    // A frame's 4-byte length, then its sealed bytes; nothing of it is
    // taken before the whole frame has opened.
    if (!frame_)
      frame_ = std::make_unique_for_overwrite<uint8_t[]>(GNET_FRAME_HEADER + GNET_FRAME_PLAIN_MAX +
                                                         GNET_SEAL_OVERHEAD);
    size_t need = GNET_FRAME_HEADER + frameSize_;
    while (frameGot_ < need) {
      if (receiveBudget == 0) return false;
      size_t take = std::min(need - frameGot_, receiveBudget);
      int32_t got = ReceiveBytes(frame_.get() + frameGot_, static_cast<int32_t>(take));
      frameGot_ += static_cast<size_t>(got);
      receiveBudget -= static_cast<size_t>(got);
      if (got == 0) return false;
    }
    if (frameSize_ == 0) {
      size_t size = 0;
      for (size_t i = 0; i < GNET_FRAME_HEADER; ++i) size = size << 8 | frame_[i];
      if (size <= GNET_SEAL_OVERHEAD || size > GNET_FRAME_PLAIN_MAX + GNET_SEAL_OVERHEAD)
        RaiseError(u"Corrupt GNet message");
      frameSize_ = size;
      continue;
    }
    size_t plain = frameSize_ - GNET_SEAL_OVERHEAD;
    Reserve(plain);
    if (!session_->Open(frame_.get() + GNET_FRAME_HEADER, frameSize_, in_.get() + inEnd_))
      RaiseError(u"Corrupt GNet message");
    inEnd_ += plain;
    frameGot_ = 0;
    frameSize_ = 0;
  }
  return true;
}

void TGNetPeer::Seal() {
  if (outPos_ == out_.size()) {
    out_.clear();
    outPos_ = 0;
  }
  for (size_t at = 0; at < plain_.size(); at += GNET_FRAME_PLAIN_MAX)
    session_->Seal(plain_.data() + at, std::min(plain_.size() - at, GNET_FRAME_PLAIN_MAX), out_);
  plain_.clear();
}

Ref<TGNetPacket> TGNetPeer::Receive() {
  if (!pending) {
    if (!Fill(GNET_HEADER_SIZE)) return nullptr;
    const uint8_t* header = in_.get() + inPos_;
    int32_t length = header[0] << 8 | header[1];
    if (length < 2) RaiseError(u"Corrupt GNet message");
    pendingSize = length - 2;
    pending = SparePacket();
    pending->id = (header[2] & 0x0F) << 8 | header[3];
    pending->kind = header[2] >> 4;
    inPos_ += GNET_HEADER_SIZE;
  }
  if (!Fill(static_cast<size_t>(pendingSize))) return nullptr;
  Ref<TGNetPacket> packet = std::move(pending);
  Ref<TGNetBytes> payload = std::move(packet->payload);  // a spare one's last payload
  if (pendingSize > 0) {
    size_t size = static_cast<size_t>(pendingSize);
    if (!payload || payload->RefCount() != 1 || payload->Length() != size)
      payload = MakeArray<uint8_t>(size);
    std::memcpy(payload->Data(), in_.get() + inPos_, size);
    packet->payload = std::move(payload);
    inPos_ += size;
  }
  pendingSize = 0;
  if (inPos_ == inEnd_) inPos_ = inEnd_ = 0;
  return packet;
}

Ref<TGNetPacket> TGNetPeer::SparePacket() {
  // Whoever took the last packet has let go of it unless it still holds it:
  // then it keeps it, and this one is new.
  if (!spare_ || spare_->RefCount() != 1) spare_ = MakeRef<TGNetPacket>(0, 0);
  return spare_;
}

void TGNetPeer::Send(const Ref<TGNetPacket>& packet) {
  if (down_) return;
  int32_t id = packet->id;
  if (packet->kind == GNET_MESSAGE) {
    CheckId(id);
    id = localToRemote[id];
  }
  size_t payloadSize = static_cast<size_t>(packet->PayloadSize());
  if (Queued() + GNET_HEADER_SIZE + payloadSize > GNET_SEND_LIMIT) {
    if (!connection || connection->Handle() < 0) return;
    RaiseError(u"GNet Send Error");
  }
  if (!session_ && outPos_ == out_.size()) {
    out_.clear();
    outPos_ = 0;
  }
  // Keyed, packets gather until the Sync's end (or a full frame) and are
  // sealed together.
  std::vector<uint8_t>& queue = session_ ? plain_ : out_;
  size_t at = queue.size();
  queue.resize(at + GNET_HEADER_SIZE + payloadSize);
  WriteGNetHeader(queue.data() + at, packet->kind, id, static_cast<int32_t>(payloadSize));
  if (payloadSize)
    std::memcpy(queue.data() + at + GNET_HEADER_SIZE, packet->payload->Data(), payloadSize);
  if (session_ ? plain_.size() >= GNET_FRAME_PLAIN_MAX : Queued() >= CHUNK) Flush();
}

bool TGNetPeer::Congested() const {
  return !down_ && Queued() > GNET_RELAY_PAUSE && NowMs() - lastTakenMs_ < GNET_STALL_MS;
}

void TGNetPeer::Flush() {
  if (session_ && !plain_.empty()) Seal();
  Write();
}

void TGNetPeer::Write() {
  // Only what is in out_: keyed, plain_ is not on the wire yet.
  auto unsent = [this] { return out_.size() - outPos_; };
  bool took = unsent() == 0;
  while (unsent() > 0) {
    size_t count = std::min(unsent(), static_cast<size_t>(INT_MAX));
    int32_t sent = SendBytes(out_.data() + outPos_, static_cast<int32_t>(count));
    if (sent <= 0) break;
    outPos_ += static_cast<size_t>(sent);
    took = true;
  }
  if (took) lastTakenMs_ = NowMs();
  if (outPos_ == out_.size()) {
    out_.clear();
    outPos_ = 0;
  } else if (outPos_ >= CHUNK) {
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(outPos_));
    outPos_ = 0;
  }
}

}  // namespace kelpora
