// Two peers share their mouse pointers through GNet: each pointer is a
// replicated object whose slots hold its position, and each window draws the
// other peer's pointer as a cross. Start one peer with
//   gnet_pair host <port>
// and the other, on the same machine or another, with
//   gnet_pair join <address> <port>
// Escape or closing the window ends a peer; the other sees the cross vanish.
// With --key-file PATH on both sides (a file holding a passphrase on one
// line), only a peer given the same passphrase gets in and the traffic is
// sealed. Each peer that joins, and each connection refused, is one line on
// standard output: "joined ADDRESS:PORT" or "refused ADDRESS:PORT: reason".
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "framework/kelpora.h"
#include "gnet/gnet_host.h"
#include "graphics/gl_driver.h"
#include "input/keyboard_mouse.h"
#include "runtime/clock.h"
#include "runtime/startup.h"
#include "runtime/system_driver.h"
#include "runtime/text.h"
#include "stream/socket.h"
#include "vex2d/draw_state.h"
#include "vex2d/graphics_mode.h"
#include "vex2d/image_font.h"

using namespace kelpora;

namespace {

// The slots of a pointer object.
enum : int32_t { SLOT_X = 0, SLOT_Y = 1 };

[[noreturn]] void Fail(const char* text) {
  std::fprintf(stderr, "gnet_pair: %s\n", text);
  std::exit(1);
}

// The passphrase on the first line of the key file.
std::string ReadPassphrase(const String& path) {
  std::ifstream file(ToBytes(path));
  std::string line;
  if (!file || !std::getline(file, line)) Fail("cannot read the key file");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) Fail("the key file holds no passphrase");
  return line;
}

// Prints the refusals since the last call; false when there were none.
bool ReportRefusals(const Ref<TGNetHost>& host) {
  std::vector<String> notes = host->TakeRefusals();
  for (const String& note : notes) std::printf("refused %s\n", ToBytes(note).c_str());
  return !notes.empty();
}

// Prints the peers that joined since the last call.
void ReportJoins(const Ref<TGNetHost>& host, std::vector<Ref<TGNetPeer>>& known) {
  std::vector<Ref<TGNetPeer>> now;
  for (auto each = host->Peers()->Enumerate(); each->HasNext();) {
    Ref<TGNetPeer> peer = RefCast<TGNetPeer>(each->NextObject());
    if (!peer) continue;
    if (std::find(known.begin(), known.end(), peer) == known.end()) {
      Ref<TSocket> connection = peer->Connection();
      std::printf("joined %s:%d\n", ToBytes(DottedIp(connection->RemoteIp())).c_str(),
                  connection->RemotePort());
    }
    now.push_back(peer);
  }
  known = std::move(now);
}

void Main() {
  std::vector<String> args = ApplicationState.arguments;
  String keyFile;
  for (size_t i = 1; i + 1 < args.size(); ++i) {
    if (args[i] != u"--key-file") continue;
    keyFile = args[i + 1];
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
               args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
    break;
  }
  bool hosting = args.size() == 3 && args[1] == u"host";
  bool joining = args.size() == 4 && args[1] == u"join";
  if (!hosting && !joining)
    Fail("usage: gnet_pair host <port> | gnet_pair join <address> <port> [--key-file PATH]");
  int32_t port = std::atoi(ToBytes(args.back()).c_str());
  setvbuf(stdout, nullptr, _IOLBF, 0);

  InitKelpora({.sound = false});  // GNet and the sockets it runs on, the window, input

  Ref<TGNetHost> host = CreateGNetHost();
  if (!keyFile.empty()) host->SetSessionPassphrase(ReadPassphrase(keyFile));
  std::vector<Ref<TGNetPeer>> known;
  if (hosting) {
    if (!GNetListen(host, port)) Fail("cannot listen on that port");
  } else {
    // The host may still be starting: try for a few seconds. A host that
    // answers and refuses us is final.
    int32_t start = ClockMs();
    while (!GNetConnect(host, args[2], port)) {
      std::vector<String> notes = host->TakeRefusals();
      bool unreachable = !notes.empty() && ToBytes(notes.back()).ends_with("connection failed");
      if (!unreachable) {
        for (const String& note : notes) std::printf("refused %s\n", ToBytes(note).c_str());
        Fail("refused by the host");
      }
      if (ClockDiff(ClockMs(), start) > 5000) Fail("cannot connect");
      DelayMs(100);
    }
    ReportJoins(host, known);
  }

  // Our pointer: a local object. Its slot changes go to every peer at the
  // next Sync; a new peer is sent the whole object when it joins.
  Ref<TGNetObject> pointer = CreateGNetObject(host);
  OpenCanvas(640, 480, 0, 60);
  SetClearColor(20, 40, 20);
  while (!KeyHits(KEY_ESCAPE)) {
    if (hosting) GNetAccept(host);  // a joining peer; it takes no waiting
    pointer->SetInt(SLOT_X, PointerX());
    pointer->SetInt(SLOT_Y, PointerY());
    GNetSync(host);  // send our changes, take in the other side's
    ReportJoins(host, known);
    // Joined without a key, a keyed host's challenge is what refuses us.
    if (ReportRefusals(host) && joining && ListCount(host->Peers()) == 0)
      Fail("refused by the host");

    ClearScreen();
    SetDrawColor(255, 255, 255);
    int32_t peers = ListCount(host->Peers());
    DrawString((hosting ? u"hosting, peers: " : u"joined, peers: ") + FormatInt(peers), 8, 8);
    // Every object the host knows: ours, and the remote copies of the other
    // peer's, which carry the peer they came from.
    SetDrawColor(255, 200, 0);
    for (auto each = host->Objects()->Enumerate(); each->HasNext();) {
      Ref<TGNetObject> object = RefCast<TGNetObject>(each->NextObject());
      if (!object || !object->peer) continue;
      auto x = static_cast<float>(object->GetInt(SLOT_X));
      auto y = static_cast<float>(object->GetInt(SLOT_Y));
      FillRect(x - 12, y - 1, 25, 3);
      FillRect(x - 1, y - 12, 3, 25);
    }
    PresentFrame();
  }
  CloseGNetHost(host);
  CloseCanvas();
}

}  // namespace

int main(int argc, char** argv) { return RunApplication(argc, argv, Main); }
