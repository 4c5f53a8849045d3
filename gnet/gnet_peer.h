// One connected GNet peer: its TCP connection, the id translations between
// its objects and ours, and the byte queues in both directions.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <vector>

#include "gnet/gnet_packet.h"
#include "gnet/gnet_session.h"
#include "stream/socket.h"

namespace kelpora {

constexpr int32_t GNET_IDS = 4096;
// Bytes queued for a peer that does not read before it is given up.
constexpr size_t GNET_SEND_LIMIT = 8u << 20;
// Bytes taken from one peer's connection in one host Sync, so that a peer
// sending without pause cannot keep the host inside Sync.
constexpr size_t GNET_RECEIVE_BUDGET = 1u << 20;
// Packets handled from one peer in one host Sync; the rest wait for the next.
// Every host sends at most one packet per object in a Sync, and there are
// fewer than 4096 objects, so this leaves room for as many messages; without
// it, a flood of 4-byte messages would make a 2 KB object each.
constexpr int32_t GNET_RECEIVE_PACKETS = 8192;
// Slot data (in wire bytes) the objects that came from one peer may hold
// together. A peer may fill all 32 slots of 4095 objects with 64 KB strings,
// 8 GB once decoded; one that goes past this is dropped instead.
constexpr uint64_t GNET_PEER_SLOT_BYTES = 64u << 20;
// A peer with more than this queued holds back the packets of the others
// (which may be relayed to it) until it has read some: a flood through the
// host then slows its source instead of filling a slow reader's queue.
constexpr size_t GNET_RELAY_PAUSE = 1u << 20;
// A peer that takes nothing for this long holds back nobody: what is relayed
// to it fills its queue until GNET_SEND_LIMIT drops it.
constexpr int64_t GNET_STALL_MS = 3000;
// Objects that were there before a peer joined are announced to it only
// while less than this is queued for it, so joining never fills its queue.
constexpr size_t GNET_ANNOUNCE_WINDOW = 256u << 10;

// Nothing here blocks: sends go to a queue that is written as far as the
// connection takes it, and Receive returns none until a whole packet is in.
// Errors about what the peer sent or cannot take are raised; the host catches
// them and drops the peer.
class TGNetPeer : public TObject {
 public:
  TGNetPeer();
  ~TGNetPeer() override;

  // Writes what is queued and tells whether the connection is still up;
  // 0 (and the peer closed) once it is down, was seen to end while
  // receiving, or the peer could not keep up.
  int32_t Update();
  void Close();
  Ref<TSocket> Connection() const { return connection; }
  Ref<TSocket> Datagram() const { return datagram; }
  void MapIds(int32_t local, int32_t remote);
  void UnmapId(int32_t local);
  // Takes up to `n` waiting bytes without waiting: 0 when none wait, and
  // from the end of the connection on (which Update then reports). Raises
  // "GNet Recv Error" when receiving fails on a connection still up.
  int32_t ReceiveBytes(void* buf, int32_t n);
  // Writes what the connection takes at once and returns that count; 0 when
  // it takes nothing (the connection is marked down when it failed).
  int32_t SendBytes(const void* buf, int32_t n);
  // The next whole packet, with the id as the peer wrote it, or none.
  // Raises "Corrupt GNet message" for a header whose length is below 2.
  Ref<TGNetPacket> Receive();
  // Queues the packet (a message's id translated to the peer's own id) and
  // writes when enough is queued. Raises "GNet Send Error" when the queue
  // would pass GNET_SEND_LIMIT while the connection is up.
  void Send(const Ref<TGNetPacket>& packet);
  // Seals what is queued (keyed sessions) and writes as much of the queue
  // as the connection takes now.
  void Flush();
  size_t Queued() const { return out_.size() - outPos_ + plain_.size(); }
  // From now on every byte both ways is sealed in `session` (after the
  // handshake, before any packet).
  void SetSession(std::unique_ptr<TGNetSession> session) { session_ = std::move(session); }
  bool Keyed() const { return bool(session_); }
  bool Down() const { return down_; }
  bool Ended() const { return ended_; }
  // More than GNET_RELAY_PAUSE is queued and the connection took some of it
  // within GNET_STALL_MS.
  bool Congested() const;

  static Ref<TGNetPeer> Create(const Ref<TSocket>& tcp, const Ref<TSocket>& udp);

  Ref<TSocket> socket;
  Ref<TSocket> connection;
  Ref<TSocket> datagram;
  std::array<int32_t, GNET_IDS> localToRemote{};
  std::array<int32_t, GNET_IDS> remoteToLocal{};
  Ref<TGNetPacket> pending;
  int32_t pendingSize = 0;
  uint64_t bytesReceived = 0;
  uint64_t bytesSent = 0;
  // Wire size of the slots of the open objects that came from this peer.
  uint64_t slotBytesHeld = 0;
  size_t receiveBudget = GNET_RECEIVE_BUDGET;
  // Ids of the objects that were there when this peer joined and that it
  // has not been told of yet; they are announced from `announceNext` on
  // (GNET_IDS once all were). Their changes and closes are not sent to it:
  // the announcement carries what they are by then, and one closed before
  // it is never announced.
  std::bitset<GNET_IDS> unannounced;
  int32_t announceNext = GNET_IDS;

 private:
  // Reads what is waiting (within the budget) until `want` bytes are buffered.
  bool Fill(size_t want);
  // Makes room for `more` bytes after inEnd_ in in_.
  void Reserve(size_t more);
  // Keyed: opens frames until `want` plain bytes are buffered. Raises
  // "Corrupt GNet message" for a frame that fails to open.
  bool FillSealed(size_t want);
  // Keyed: moves plain_ into out_ as frames.
  void Seal();
  // Writes as much of out_ as the connection takes now.
  void Write();
  // The packet Receive returned last, once nobody else holds it (with its
  // payload, reused when the next one has the same size), or a new one: a
  // steady stream of changes allocates nothing per packet.
  Ref<TGNetPacket> SparePacket();

  // Bytes inPos_ to inEnd_ of in_ are received and not yet taken; the rest
  // of its inSize_ bytes is room, never read before it is written.
  std::unique_ptr<uint8_t[]> in_;
  size_t inSize_ = 0;
  size_t inPos_ = 0;
  size_t inEnd_ = 0;
  Ref<TGNetPacket> spare_;
  std::vector<uint8_t> out_;
  size_t outPos_ = 0;
  // Keyed: packets not sealed yet, and the frame being received.
  std::unique_ptr<TGNetSession> session_;
  std::vector<uint8_t> plain_;
  std::unique_ptr<uint8_t[]> frame_;
  size_t frameGot_ = 0;
  size_t frameSize_ = 0;     // sealed bytes after the length, once the length is in
  int64_t lastTakenMs_ = 0;  // when the connection last took bytes or had none to take
  bool down_ = false;        // closed, or failed to send
  bool ended_ = false;       // the other side ended the connection
};

// Totals of every peer of the process.
uint64_t GNetBytesReceived();
uint64_t GNetBytesSent();

}  // namespace kelpora
