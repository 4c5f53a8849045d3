#include "gnet/gnet_host.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>

#include "runtime/errors.h"
#include "runtime/text.h"
#include "stream/socket.h"

namespace kelpora {

namespace {

constexpr uint8_t HELLO[4] = {1, 15, 2, 14};

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The values of a list, so that the list may change while they are visited.
template <class T>
std::vector<Ref<T>> Snapshot(const Ref<TObjectList>& list) {
  std::vector<Ref<T>> items;
  for (Ref<TListNode> node = list->head->succ; !node->IsSentinel(); node = node->succ) {
    if (auto item = RefCast<T>(node->value)) items.push_back(std::move(item));
  }
  return items;
}

}  // namespace

Ref<TGNetHost> TGNetObject::Host() const { return Ref<TGNetHost>(host ? host->host : nullptr); }

struct TGNetHost::Greeting {
  Ref<TSocket> tcp;
  Ref<TSocket> udp;
  uint8_t hello[6] = {};
  int32_t got = 0;
  int64_t deadline = 0;
  std::string who;  // the other end's address, for refusal notes
  const char* reason = nullptr;
  // Keyed: the handshake after the hello and the step it is reading.
  std::unique_ptr<TGNetHandshake> handshake;
  uint8_t step[std::max(GNET_PROOF_SIZE, GNET_CHALLENGE_PAYLOAD)] = {};
  size_t stepGot = 0;

  void Close() {
    tcp->Close();
    udp->Close();
  }
};

TGNetHost::TGNetHost()
    : table(GNET_IDS),
      peers(MakeRef<TObjectList>()),
      objects(MakeRef<TObjectList>()),
      created(MakeRef<TObjectList>()),
      modified(MakeRef<TObjectList>()),
      closed(MakeRef<TObjectList>()),
      messages(MakeRef<TObjectList>()),
      link(MakeRef<TGNetHostLink>()) {
  link->host = this;
}

TGNetHost::~TGNetHost() {
  Close();
  if (server) server->Close();
  link->host = nullptr;
}

Ref<TGNetHost> TGNetHost::Create() { return MakeRef<TGNetHost>(); }

void TGNetHost::ListRefill::Start(const Ref<TObjectList>& list) {
  list_ = list;
  next_ = list->head->succ.get();
}

void TGNetHost::ListRefill::Add(const Ref<TObjectList>& list, const Ref<TObject>& value) {
  if (!next_ || list != list_) {
    list->AddLast(value);
    return;
  }
  // A node in the list is held by its two neighbours' links; one held from
  // elsewhere too (an enumeration standing on it) is removed, as Clear would.
  while (!next_->IsSentinel() && next_->RefCount() != 2) {
    Ref<TListNode> node(next_);
    next_ = node->succ.get();
    node->Remove();
  }
  if (next_->IsSentinel()) {
    list_->AddLast(value);
  } else {
    next_->value = value;
    next_ = next_->succ.get();
  }
}

void TGNetHost::ListRefill::Finish() {
  while (next_ && !next_->IsSentinel()) {
    Ref<TListNode> node(next_);
    next_ = node->succ.get();
    node->Remove();
  }
  next_ = nullptr;
  list_ = nullptr;
}

void TGNetHost::Sync() {
  // The lists hold what this Sync changed, however it ends.
  struct Lists {
    TGNetHost& host;
    ~Lists() {
      for (ListRefill* fill :
           {&host.createdFill_, &host.modifiedFill_, &host.closedFill_, &host.messagesFill_})
        fill->Finish();
    }
  } lists{*this};
  createdFill_.Start(created);
  modifiedFill_.Start(modified);
  closedFill_.Start(closed);
  messagesFill_.Start(messages);

  // Nothing below changes the list but the removal of the node in hand, so a
  // walk without holds on the nodes is safe (and spares 4000 count changes).
  for (TListNode* node = objects->head->succ.get(); !node->IsSentinel();) {
    TListNode* next = node->succ.get();
    auto* object = static_cast<TGNetObject*>(node->value.get());
    if (Ref<TGNetPacket> packet = object->Sync()) Broadcast(packet, object->peer);
    if (object->state == GNET_GONE) {
      FreeId(Ref<TGNetObject>(object));
      node->Remove();
    }
    node = next;
  }
  DropFailedPeers();

  for (const auto& peer : Snapshot<TGNetPeer>(peers)) {
    if (!peer->Update()) DropPeer(peer);
  }
  AdvanceGreetings();

  for (const auto& peer : Snapshot<TGNetPeer>(peers)) {
    if (peer->Down()) continue;
    peer->receiveBudget = GNET_RECEIVE_BUDGET;
    try {
      ReceiveFrom(peer);
      // What it sent before it went is in. A peer found down while what it
      // sent was handled (a relay to it failed) goes now, not a Sync later.
      if (peer->Ended() || peer->Down()) DropPeer(peer);
    } catch (const TRuntimeError&) {
      DropPeer(peer);
    }
  }
  DropFailedPeers();

  for (const auto& peer : Snapshot<TGNetPeer>(peers)) {
    if (peer->announceNext < GNET_IDS) Announce(peer.get());
  }
  DropFailedPeers();

  for (const auto& peer : Snapshot<TGNetPeer>(peers)) peer->Flush();
}

bool TGNetHost::RelayBlocked(const TGNetPeer* source) const {
  for (TListNode* node = peers->head->succ.get(); !node->IsSentinel(); node = node->succ.get()) {
    auto* peer = static_cast<TGNetPeer*>(node->value.get());
    if (peer != source && peer->Congested()) return true;
  }
  return false;
}

void TGNetHost::ReceiveFrom(const Ref<TGNetPeer>& peer) {
  for (int32_t handled = 0; handled < GNET_RECEIVE_PACKETS; ++handled) {
    // What it sends may be relayed to any other peer: it waits while one of
    // them has too much in front of it, and TCP slows the sender.
    if (RelayBlocked(peer.get())) return;
    Ref<TGNetPacket> packet = peer->Receive();
    if (!packet) return;
    Handle(peer, packet);
    if (peer->Down()) return;
  }
}

void TGNetHost::Handle(const Ref<TGNetPeer>& peer, const Ref<TGNetPacket>& packet) {
  const int32_t wireId = packet->id;
  // A payload is checked whole before anything is relayed or applied, so a
  // corrupt one never reaches the other peers.
  auto check = [&packet] {
    if (packet->payload)
      TGNetObject::CheckPayload(packet->payload->Data(), packet->payload->Length());
  };
  switch (packet->kind) {
    case GNET_MESSAGE: {
      Ref<TGNetObject> target = wireId > 0 ? table[wireId] : nullptr;
      if (!target) return;
      check();
      if (!target->peer) {
        Ref<TGNetObject> message = TGNetObject::Create(wireId, GNET_MESSAGE, link, nullptr);
        message->Apply(packet);
        messagesFill_.Add(messages, message);
      } else if (target->peer->localToRemote[wireId] != 0) {
        SendTo(target->peer.get(), packet);
      }
      return;
    }
    case GNET_CREATED: {
      if (wireId == 0 || peer->remoteToLocal[wireId] != 0)
        return;  // a second create for one object
      check();
      Ref<TGNetObject> object = TGNetObject::Create(0, GNET_CREATED, link, peer);
      if (!Hold(peer, object->SlotBytesChange(packet->payload))) return;
      object->id = AllocId();
      AddToTable(object);
      peer->MapIds(object->id, wireId);
      packet->id = object->id;
      objects->AddLast(object);
      createdFill_.Add(created, object);
      Broadcast(packet, peer);
      object->Apply(packet);
      return;
    }
    case GNET_MODIFIED:
    case GNET_CLOSING: {
      // Only objects this peer created are its to change.
      int32_t local = peer->remoteToLocal[wireId];
      Ref<TGNetObject> object = local ? table[local] : nullptr;
      if (!object || object->peer != peer) return;
      check();
      // A close gives back all the object held.
      int64_t change = packet->kind == GNET_MODIFIED
                           ? object->SlotBytesChange(packet->payload)
                           : -static_cast<int64_t>(object->SlotBytes());
      if (!Hold(peer, change)) return;
      packet->id = local;
      if (packet->kind == GNET_MODIFIED)
        modifiedFill_.Add(modified, object);
      else
        closedFill_.Add(closed, object);
      Broadcast(packet, peer);
      object->Apply(packet);
      if (packet->kind == GNET_CLOSING) FreeId(object);
      return;
    }
    default:
      // A keyed host's challenge: this host has no key, so the two refuse
      // each other (the keyed side sees its challenge go unanswered).
      if (packet->kind == 0 && wireId == GNET_CHALLENGE_ID && !key_ &&
          packet->PayloadSize() == static_cast<int32_t>(GNET_CHALLENGE_PAYLOAD)) {
        Note(ToBytes(DottedIp(peer->connection->RemoteIp())) + ":" +
                 std::to_string(peer->connection->RemotePort()),
             "the peer requires a session key, this host has none");
        peer->Close();
      }
      return;  // not a kind peers exchange: neither applied nor relayed
  }
}

bool TGNetHost::Hold(const Ref<TGNetPeer>& peer, int64_t change) {
  // Never below zero: the application may have rewritten a remote copy's
  // slots, so what a close gives back can exceed what the peer sent.
  int64_t held = std::max<int64_t>(0, static_cast<int64_t>(peer->slotBytesHeld) + change);
  if (static_cast<uint64_t>(held) > GNET_PEER_SLOT_BYTES) {
    peer->Close();  // dropped as soon as the host is done with what it sent
    return false;
  }
  peer->slotBytesHeld = static_cast<uint64_t>(held);
  return true;
}

void TGNetHost::Close() {
  for (const auto& peer : Snapshot<TGNetPeer>(peers)) peer->Close();
  peers->Clear();
  for (auto& greeting : greetings_) greeting->Close();
  greetings_.clear();
}

void TGNetHost::Broadcast(const Ref<TGNetPacket>& packet, const Ref<TGNetPeer>& exceptPeer) {
  for (TListNode* node = peers->head->succ.get(); !node->IsSentinel(); node = node->succ.get()) {
    if (node->value.get() != exceptPeer.get())
      SendTo(static_cast<TGNetPeer*>(node->value.get()), packet);
  }
}

void TGNetHost::SendTo(TGNetPeer* peer, const Ref<TGNetPacket>& packet) {
  // A change or close of an object the peer has not been told of yet: its
  // announcement will carry what it is by then, or it is never made.
  if ((packet->kind == GNET_MODIFIED || packet->kind == GNET_CLOSING) && packet->id > 0 &&
      packet->id < GNET_IDS && peer->unannounced[packet->id])
    return;
  try {
    peer->Send(packet);
  } catch (const TRuntimeError&) {
    peer->Close();
    failed_.push_back(Ref<TGNetPeer>(peer));
  }
}

void TGNetHost::DropFailedPeers() {
  while (!failed_.empty()) {
    Ref<TGNetPeer> peer = std::move(failed_.back());
    failed_.pop_back();
    DropPeer(peer);
  }
}

void TGNetHost::DropPeer(const Ref<TGNetPeer>& peer) {
  if (!peers->RemoveValue(peer)) return;
  peer->Close();
  for (const auto& object : Snapshot<TGNetObject>(objects)) {
    if (object->peer != peer) continue;
    int32_t state = object->state;
    if (state != GNET_CREATED && state != GNET_MODIFIED && state != GNET_SYNCED) continue;
    Broadcast(object->ClosePacket(), peer);
    closedFill_.Add(closed, object);
    object->Close();
    FreeId(object);
  }
}

void TGNetHost::FreeId(const Ref<TGNetObject>& object) {
  int32_t id = object->id;
  if (id <= 0 || id >= GNET_IDS || table[id] != object) return;
  RemoveFromTable(object);
  if (object->peer) object->peer->UnmapId(id);
}

Ref<TGNetObject> TGNetHost::CreateObject() {
  Ref<TGNetObject> object = TGNetObject::Create(AllocId(), GNET_CREATED, link, nullptr);
  AddToTable(object);
  objects->AddLast(object);
  return object;
}

Ref<TGNetObject> TGNetHost::CreateMessage() {
  return TGNetObject::Create(0, GNET_MESSAGE, link, nullptr);
}

void TGNetHost::SendMessage(const Ref<TGNetObject>& message, const Ref<TGNetObject>& target) {
  const Ref<TGNetPeer>& peer = target->peer;
  if (!peer) return;
  SendTo(peer.get(), message->MessagePacket(target->id));
  // Keyed, it goes sealed with the rest at the Sync's end: one frame, not one per message.
  if (!peer->Keyed()) peer->Flush();
}

int32_t TGNetHost::AllocId() {
  for (int32_t id = 1; id < GNET_IDS; ++id) {
    if (!table[id]) return id;
  }
  RaiseError(u"Out of GNet object IDs");
}

void TGNetHost::AddToTable(const Ref<TGNetObject>& object) {
  if (object->id <= 0 || object->id >= GNET_IDS) throw TArrayBoundsError();
  table[object->id] = object;
}

void TGNetHost::RemoveFromTable(const Ref<TGNetObject>& object) {
  int32_t id = object->id;
  if (id <= 0 || id >= GNET_IDS || table[id] != object) return;
  table[id] = nullptr;
  // The id may be taken by a new object, which peers hear of by its create.
  for (TListNode* node = peers->head->succ.get(); !node->IsSentinel(); node = node->succ.get())
    static_cast<TGNetPeer*>(node->value.get())->unannounced[id] = false;
}

int32_t TGNetHost::Listen(int32_t port) {
  if (server) return 0;
  Ref<TSocket> socket = TSocket::CreateTcp();
  if (!socket) return 0;
  if (!socket->Bind(port) || !socket->Listen(0)) {
    socket->Close();
    return 0;
  }
  server = socket;
  return 1;
}

void TGNetHost::SetSessionKey(const std::vector<uint8_t>& key) {
  key_ = std::make_unique<TGNetKey>(key);
}

void TGNetHost::SetSessionPassphrase(const std::string& passphrase) {
  key_ = TGNetKey::FromPassphrase(passphrase);
}

void TGNetHost::ClearSessionKey() { key_.reset(); }

std::vector<String> TGNetHost::TakeRefusals() {
  std::vector<String> notes(refusals_.begin(), refusals_.end());
  refusals_.clear();
  return notes;
}

void TGNetHost::Note(const std::string& who, const std::string& reason) {
  if (refusals_.size() >= GNET_REFUSAL_NOTES) refusals_.pop_front();
  refusals_.push_back(FromBytes(who + ": " + reason));
}

void TGNetHost::Refuse(Greeting& greeting, const char* timeout) {
  const char* reason = greeting.reason;
  if (!reason) reason = greeting.got < 6 || !greeting.handshake ? "no hello in time" : timeout;
  Note(greeting.who, reason);
  greeting.Close();
}

std::unique_ptr<TGNetHost::Greeting> TGNetHost::StartHello(const Ref<TSocket>& tcp,
                                                           bool initiator) {
  tcp->SetTcpNoDelay(1);
  auto greeting = std::make_unique<Greeting>();
  greeting->tcp = tcp;
  greeting->who = ToBytes(DottedIp(tcp->RemoteIp())) + ":" + std::to_string(tcp->RemotePort());
  if (key_) greeting->handshake = std::make_unique<TGNetHandshake>(*key_, initiator);
  greeting->udp = TSocket::CreateUdp();
  if (!greeting->udp) return nullptr;
  if (!greeting->udp->Bind(0)) {
    greeting->udp->Close();
    return nullptr;
  }
  int32_t port = greeting->udp->LocalPort();
  const uint8_t hello[6] = {HELLO[0],
                            HELLO[1],
                            HELLO[2],
                            HELLO[3],
                            static_cast<uint8_t>(port >> 8),
                            static_cast<uint8_t>(port)};
  // Keyed, the challenge goes with the hello: one write, no extra round trip.
  std::vector<uint8_t> first(hello, hello + 6);
  if (greeting->handshake)
    first.insert(first.end(), greeting->handshake->Challenge().begin(),
                 greeting->handshake->Challenge().end());
  int32_t size = static_cast<int32_t>(first.size());
  if (tcp->Send(first.data(), size, MSG_DONTWAIT) != size) {
    greeting->udp->Close();
    return nullptr;
  }
  greeting->deadline = NowMs() + GNET_HELLO_TIMEOUT_MS;
  return greeting;
}

int32_t TGNetHost::GatherHello(Greeting& greeting) {
  TGNetHandshake* handshake = greeting.handshake.get();
  for (;;) {
    // The hello, then each step of the key handshake: exactly what it
    // wants, so that what follows stays in the connection for the peer.
    bool hello = greeting.got < 6;
    if (!hello && !std::equal(HELLO, HELLO + 4, greeting.hello)) {
      greeting.reason = "wrong hello";
      return -1;
    }
    if (!hello && !handshake) return 1;
    uint8_t* into = hello ? greeting.hello + greeting.got : greeting.step + greeting.stepGot;
    size_t want = hello ? 6 - greeting.got : handshake->Wanted() - greeting.stepGot;
    int32_t waiting = greeting.tcp->ReadAvail();
    const char* ended = hello ? "the connection ended during the hello"
                              : "the other side ended the connection during the key handshake "
                                "(it may have no session key, or another one)";
    if (waiting <= 0) {
      if (greeting.tcp->Connected()) return 0;
      greeting.reason = ended;
      return -1;
    }
    int32_t got =
        greeting.tcp->Recv(into, std::min(static_cast<int32_t>(want), waiting), MSG_DONTWAIT);
    if (got <= 0) {
      greeting.reason = ended;
      return -1;
    }
    if (hello) {
      greeting.got += got;
      continue;
    }
    greeting.stepGot += static_cast<size_t>(got);
    if (greeting.stepGot < handshake->Wanted()) continue;
    greeting.stepGot = 0;
    std::vector<uint8_t> reply;
    int32_t result = handshake->Take(greeting.step, reply);
    if (result < 0) {
      greeting.reason = handshake->Reason();
      return -1;
    }
    int32_t size = static_cast<int32_t>(reply.size());
    if (size > 0 && greeting.tcp->Send(reply.data(), size, MSG_DONTWAIT) != size) {
      greeting.reason = "the connection took no answer";
      return -1;
    }
    if (result > 0) return 1;
  }
}

Ref<TGNetPeer> TGNetHost::FinishHello(Greeting& greeting) {
  int32_t port = greeting.hello[4] << 8 | greeting.hello[5];
  greeting.udp->Connect(greeting.tcp->RemoteIp(), port);
  Ref<TGNetPeer> peer = TGNetPeer::Create(greeting.tcp, greeting.udp);
  if (greeting.handshake) peer->SetSession(greeting.handshake->Session());
  peers->AddLast(peer);
  // Every object there is but the local ones not synced yet, whose creates
  // go to this peer at the next Sync. Remote objects that arrived during the
  // last Sync are announced too: their creates went out before this peer was
  // there. Local ones closing are marked so that their close is not sent.
  for (TListNode* node = objects->head->succ.get(); !node->IsSentinel(); node = node->succ.get()) {
    auto* object = static_cast<TGNetObject*>(node->value.get());
    int32_t id = object->id;
    if (object->state == GNET_GONE || (object->state == GNET_CREATED && !object->peer)) continue;
    if (id <= 0 || id >= GNET_IDS || table[id].get() != object) continue;
    peer->unannounced[id] = true;
    peer->announceNext = std::min(peer->announceNext, id);
  }
  Announce(peer.get());
  DropFailedPeers();
  return peer->Down() ? nullptr : peer;
}

void TGNetHost::Announce(TGNetPeer* peer) {
  while (peer->announceNext < GNET_IDS && !peer->Down()) {
    while (peer->announceNext < GNET_IDS && peer->Queued() < GNET_ANNOUNCE_WINDOW) {
      int32_t id = peer->announceNext++;
      if (!peer->unannounced[id]) continue;
      const Ref<TGNetObject>& object = table[id];
      int32_t state = object ? object->state : GNET_GONE;
      // One closing keeps its mark, so that its close is not sent either.
      if (state == GNET_CLOSING) continue;
      peer->unannounced[id] = false;
      if (state == GNET_MODIFIED || state == GNET_SYNCED || (state == GNET_CREATED && object->peer))
        for (const auto& packet : object->AnnouncePackets()) SendTo(peer, packet);
    }
    // Only what the connection takes at once: the rest at later Syncs.
    peer->Flush();
    if (peer->Queued() > 0) break;
  }
}

Ref<TGNetPeer> TGNetHost::AddPeer(const Ref<TSocket>& tcp) {
  std::unique_ptr<Greeting> greeting = StartHello(tcp, true);
  if (!greeting) {
    tcp->Close();
    return nullptr;
  }
  for (;;) {
    int32_t result = GatherHello(*greeting);
    // A keyed host sends its challenge with its hello: without a key, this
    // side refuses it here, so that Connect fails with the reason noted.
    uint8_t next[GNET_HEADER_SIZE];
    if (result > 0 && !key_ &&
        tcp->Recv(next, GNET_HEADER_SIZE, MSG_PEEK | MSG_DONTWAIT) == GNET_HEADER_SIZE &&
        IsGNetChallenge(next)) {
      greeting->reason = "the host requires a session key, this host has none";
      result = -1;
    }
    if (result > 0) return FinishHello(*greeting);
    int64_t left = greeting->deadline - NowMs();
    if (result < 0 || left <= 0) {
      // Most likely a host that has no key: it sends nothing of a handshake.
      Refuse(*greeting, "no key handshake from the host in time (it may have no session key)");
      return nullptr;
    }
    pollfd entry{tcp->Handle(), POLLIN, 0};
    ::poll(&entry, 1, static_cast<int>(left));
  }
}

void TGNetHost::AdvanceGreetings() {
  int64_t now = NowMs();
  std::vector<std::unique_ptr<Greeting>> waiting;
  for (auto& greeting : greetings_) {
    int32_t result = GatherHello(*greeting);
    if (result > 0) {
      FinishHello(*greeting);
    } else if (result < 0 || now >= greeting->deadline) {
      Refuse(*greeting, "no key handshake in time");
    } else {
      waiting.push_back(std::move(greeting));
    }
  }
  greetings_ = std::move(waiting);
}

Ref<TGNetPeer> TGNetHost::Accept() {
  if (!server) return nullptr;
  Ref<TSocket> tcp = server->Accept(0);
  if (!tcp) return nullptr;
  std::unique_ptr<Greeting> greeting = StartHello(tcp, false);
  if (!greeting) {
    tcp->Close();
    return nullptr;
  }
  int32_t result = GatherHello(*greeting);
  if (result > 0) return FinishHello(*greeting);
  if (result < 0)
    Refuse(*greeting, "");
  else
    greetings_.push_back(std::move(greeting));
  return nullptr;
}

Ref<TGNetPeer> TGNetHost::Connect(const String& address, int32_t port) {
  int ip = HostIp(address, 0);
  if (ip == 0) return nullptr;
  Ref<TSocket> tcp = TSocket::CreateTcp();
  if (!tcp) return nullptr;
  if (!tcp->Connect(ip, port)) {
    Note(ToBytes(address) + ":" + std::to_string(port), "connection failed");
    tcp->Close();
    return nullptr;
  }
  return AddPeer(tcp);
}

Ref<TGNetHost> CreateGNetHost() { return TGNetHost::Create(); }

Ref<TObjectList> GNetObjects(const Ref<TGNetHost>& host, int32_t which) {
  switch (which) {
    case GNET_ALL:
      return host->objects;
    case GNET_CREATED_LIST:
      return host->created;
    case GNET_MODIFIED_LIST:
      return host->modified;
    case GNET_CLOSED_LIST:
      return host->closed;
    default:
      RaiseError(u"Unknown object state");
  }
}

Ref<TObjectList> GNetMessages(const Ref<TGNetHost>& host) { return host->messages; }

Ref<TGNetObject> GNetMessageObject(const Ref<TGNetObject>& message) {
  Ref<TGNetHost> host = message->Host();
  if (!host || message->id <= 0 || message->id >= GNET_IDS) return nullptr;
  return host->table[message->id];
}

void InitGNetModule() {
  static bool done = false;
  if (done) return;
  done = true;
  InitErrorModule();
  InitNetworkModule();
}

}  // namespace kelpora
