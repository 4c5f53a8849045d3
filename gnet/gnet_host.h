// A GNet participant: its objects by id, its peers, and the frame-by-frame
// Sync that sends local changes, relays what peers send and collects what
// changed remotely.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "gnet/gnet_object.h"
#include "runtime/object_list.h"

namespace kelpora {

// How long a new connection may take to send its 6-byte hello (and, keyed,
// to complete the key handshake).
constexpr int32_t GNET_HELLO_TIMEOUT_MS = 3000;
// Refusal notes kept until the application takes them; older ones go.
constexpr size_t GNET_REFUSAL_NOTES = 64;

// Which list GNetObjects returns.
enum : int32_t {
  GNET_ALL = 0,
  GNET_CREATED_LIST = 1,
  GNET_MODIFIED_LIST = 2,
  GNET_CLOSED_LIST = 3
};

// Nothing a peer sends makes Sync raise or wait: a peer whose data is
// malformed, who names objects it does not own badly, who cannot keep up
// with what is sent to it or whose connection goes down is dropped, its
// objects closed here and on the other peers. A peer may change and close
// only the objects it created. A peer that reads steadily is never dropped
// for what others send: while one is congested, the packets of the others
// wait in their connections; and a peer that joins is told of the objects
// already there as fast as it reads.
// With a session key, only peers that prove they hold it join, and every
// byte after the handshake travels sealed; a peer whose bytes fail to open
// is dropped as one that sent malformed data. Without one, the wire is the
// plain format, and a keyed peer is refused when its challenge arrives.
class TGNetHost : public TObject {
 public:
  TGNetHost();
  ~TGNetHost() override;

  // Sends local changes, drops peers that went down, takes in and relays
  // what the peers sent, then writes what is queued for each peer.
  void Sync();
  // Closes every peer (and connection still saying hello) and the listener.
  void Close();
  // Sends to every peer but `exceptPeer`; a peer that cannot take more is
  // dropped at the end of the Sync.
  void Broadcast(const Ref<TGNetPacket>& packet, const Ref<TGNetPeer>& exceptPeer);
  // Exchanges the hello on a new connection, waiting at most
  // GNET_HELLO_TIMEOUT_MS for it to complete; none when it is wrong or late.
  Ref<TGNetPeer> AddPeer(const Ref<TSocket>& tcp);
  Ref<TObjectList> Peers() const { return peers; }
  Ref<TObjectList> Objects() const { return objects; }
  Ref<TObjectList> Created() const { return created; }
  Ref<TObjectList> Modified() const { return modified; }
  Ref<TObjectList> Closed() const { return closed; }
  Ref<TObjectList> Messages() const { return messages; }
  // Raises "Out of GNet object IDs" when all 4095 ids are taken.
  Ref<TGNetObject> CreateObject();
  Ref<TGNetObject> CreateMessage();
  // Sends the message's slots to the peer that owns `target` (keyed, at the
  // next Sync); nothing for a local target. (The root's SendMessage stays
  // reachable beside it.)
  using TObject::SendMessage;
  void SendMessage(const Ref<TGNetObject>& message, const Ref<TGNetObject>& target);
  int32_t Listen(int32_t port);
  // Takes one waiting connection without waiting. Its peer joins `peers`
  // once its hello is complete: at once, or at a later Sync within
  // GNET_HELLO_TIMEOUT_MS; a wrong or late hello closes it. Returns the peer
  // when it joined at once, else none.
  Ref<TGNetPeer> Accept();
  Ref<TGNetPeer> Connect(const String& address, int32_t port);
  int32_t AllocId();
  void AddToTable(const Ref<TGNetObject>& object);
  void RemoveFromTable(const Ref<TGNetObject>& object);
  // The key peers must hold, set before Listen and Connect: 32 bytes, or
  // derived from a passphrase (slow on purpose: a password hash). Raises
  // "GNet session key must be 32 bytes" for another size.
  void SetSessionKey(const std::vector<uint8_t>& key);
  void SetSessionPassphrase(const std::string& passphrase);
  void ClearSessionKey();
  bool Keyed() const { return bool(key_); }
  // Why connections were refused since the last call ("ADDRESS:PORT: reason"),
  // oldest first: wrong or late hellos, failed key handshakes, a keyed peer
  // meeting a keyless host. A refused Connect leaves its note here too.
  std::vector<String> TakeRefusals();
  // Connections accepted whose hello is not complete yet.
  int32_t GreetingCount() const { return static_cast<int32_t>(greetings_.size()); }

  static Ref<TGNetHost> Create();

  std::vector<Ref<TGNetObject>> table;
  Ref<TSocket> server;
  Ref<TObjectList> peers;
  Ref<TObjectList> objects;
  Ref<TObjectList> created;
  Ref<TObjectList> modified;
  Ref<TObjectList> closed;
  Ref<TObjectList> messages;
  Ref<TGNetHostLink> link;

 private:
  struct Greeting;
  // Starts the hello on `tcp` (and the key handshake, the side that
  // connected being its initiator): none when the UDP side cannot be made.
  std::unique_ptr<Greeting> StartHello(const Ref<TSocket>& tcp, bool initiator);
  // Closes a greeting that failed, noting why.
  void Refuse(Greeting& greeting, const char* timeout);
  void Note(const std::string& who, const std::string& reason);
  // Reads what has come of the hello: 1 complete and right, 0 not yet, -1 refused.
  int32_t GatherHello(Greeting& greeting);
  Ref<TGNetPeer> FinishHello(Greeting& greeting);
  void AdvanceGreetings();
  // Sends without letting a peer that cannot keep up raise out of here.
  void SendTo(TGNetPeer* peer, const Ref<TGNetPacket>& packet);
  void ReceiveFrom(const Ref<TGNetPeer>& peer);
  // True while a peer other than `source` is congested.
  bool RelayBlocked(const TGNetPeer* source) const;
  // Queues announcements of the objects the peer has not been told of while
  // its queue is below GNET_ANNOUNCE_WINDOW and the connection takes them.
  void Announce(TGNetPeer* peer);
  void Handle(const Ref<TGNetPeer>& peer, const Ref<TGNetPacket>& packet);
  // Closes the peer, its objects here and on the other peers, and releases their ids.
  void DropPeer(const Ref<TGNetPeer>& peer);
  // Adds `change` wire bytes of slots to what the objects of `peer` hold;
  // false, with the peer closed, when that passes GNET_PEER_SLOT_BYTES.
  bool Hold(const Ref<TGNetPeer>& peer, int64_t change);
  void DropFailedPeers();
  void FreeId(const Ref<TGNetObject>& object);

  // Fills one of the lists of what a Sync changed: the nodes of the last
  // Sync that nobody else holds take the new values, so that a steady
  // stream of changes allocates no list nodes. Outside a Sync it appends.
  class ListRefill {
   public:
    void Start(const Ref<TObjectList>& list);
    void Add(const Ref<TObjectList>& list, const Ref<TObject>& value);
    // Removes the nodes this Sync did not refill.
    void Finish();

   private:
    Ref<TObjectList> list_;
    TListNode* next_ = nullptr;  // the next node to refill
  };

  std::unique_ptr<TGNetKey> key_;
  std::deque<String> refusals_;
  std::vector<std::unique_ptr<Greeting>> greetings_;
  std::vector<Ref<TGNetPeer>> failed_;
  ListRefill createdFill_, modifiedFill_, closedFill_, messagesFill_;
};

Ref<TGNetHost> CreateGNetHost();
// which: 0 all objects, 1 created, 2 modified, 3 closed during the last Sync;
// anything else raises "Unknown object state".
Ref<TObjectList> GNetObjects(const Ref<TGNetHost>& host, int32_t which);
Ref<TObjectList> GNetMessages(const Ref<TGNetHost>& host);
// The object a received message was sent to, or none.
Ref<TGNetObject> GNetMessageObject(const Ref<TGNetObject>& message);
inline void GNetSync(const Ref<TGNetHost>& host) { host->Sync(); }
inline void CloseGNetHost(const Ref<TGNetHost>& host) { host->Close(); }
inline int32_t GNetListen(const Ref<TGNetHost>& host, int32_t port) { return host->Listen(port); }
inline Ref<TGNetPeer> GNetAccept(const Ref<TGNetHost>& host) { return host->Accept(); }
inline Ref<TGNetPeer> GNetConnect(const Ref<TGNetHost>& host, const String& address, int32_t port) {
  return host->Connect(address, port);
}
inline Ref<TGNetObject> CreateGNetObject(const Ref<TGNetHost>& host) {
  return host->CreateObject();
}
inline Ref<TGNetObject> CreateGNetMessage(const Ref<TGNetHost>& host) {
  return host->CreateMessage();
}
inline void SendGNetMessage(const Ref<TGNetHost>& host, const Ref<TGNetObject>& message,
                            const Ref<TGNetObject>& target) {
  host->SendMessage(message, target);
}

// Needs the network module; registers nothing of its own. Runs once.
void InitGNetModule();

}  // namespace kelpora
