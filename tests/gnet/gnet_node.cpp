// One GNet host in a process of its own, driven by lines on standard input
// (key HEX | passphrase TEXT | listen | connect PORT | peers | seen | create NAME | int/float NAME
// SLOT V | string NAME SLOT HEX | close NAME | message MARKER SLOT V | dump) for the tests that
// connect several. Prints "message ID SLOTS" for each message received; "dump" prints "object
// MARKER REMOTE STATE" + " SLOT:KIND:VALUE" per filled slot, then "end", where MARKER is the int in
// slot 0 (or minus the id); "refused NOTE" for each connection refused, "peers N" on request, and
// on "seen" the markers of every remote object this host was ever told of ("seen M1 M2 ...").
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "gnet/gnet_host.h"
#include "runtime/errors.h"
#include "runtime/text.h"

using namespace kelpora;

namespace {

std::string Slots(const Ref<TGNetObject>& object) {
  std::ostringstream out;
  for (int i = 0; i < GNET_SLOTS; ++i) {
    const TGNetSlot& slot = object->slots[i];
    if (slot.kind == GNET_EMPTY) continue;
    out << ' ' << i << ':' << slot.kind << ':';
    if (slot.kind == GNET_FLOAT) {
      char text[32];
      std::snprintf(text, sizeof text, "%.9g", slot.floatValue);
      out << text;
    } else if (slot.kind == GNET_STRING) {
      char hex[3];
      for (char16_t c : slot.text) {
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>(c & 0xFF));
        out << hex;
      }
    } else {
      out << slot.intValue;
    }
  }
  return out.str();
}

String FromHex(const std::string& hex) {
  String text;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    text += static_cast<char16_t>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return text;
}

Ref<TGNetObject> ByMarker(const Ref<TGNetHost>& host, int marker) {
  for (const auto& object : host->table) {
    if (object && object->slots[0].kind != GNET_EMPTY && object->GetInt(0) == marker) return object;
  }
  return nullptr;
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
  try {
    InitGNetModule();
    Ref<TGNetHost> host = CreateGNetHost();
    std::map<std::string, Ref<TGNetObject>> named;
    std::set<int> seen;
    std::string input;
    for (;;) {
      char chunk[4096];
      ssize_t got = read(0, chunk, sizeof chunk);
      if (got == 0) return 0;
      if (got > 0) input.append(chunk, static_cast<size_t>(got));
      for (size_t end; (end = input.find('\n')) != std::string::npos; input.erase(0, end + 1)) {
        std::istringstream line(input.substr(0, end));
        std::string command, name, text;
        int slot = 0, port = 0;
        line >> command;
        if (command == "key") {
          line >> text;
          std::vector<uint8_t> key;
          for (size_t i = 0; i + 1 < text.size(); i += 2)
            key.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
          host->SetSessionKey(key);
        } else if (command == "passphrase") {
          line >> text;
          host->SetSessionPassphrase(text);
        } else if (command == "seen") {
          std::string list;
          for (int marker : seen) list += " " + std::to_string(marker);
          std::printf("seen%s\n", list.c_str());
        } else if (command == "peers") {
          std::printf("peers %d\n", host->peers->Count());
        } else if (command == "listen") {
          host->Listen(0);
          std::printf("port %d\n", host->server->LocalPort());
        } else if (command == "connect") {
          line >> port;
          std::printf("connected %d\n", bool(host->Connect(u"127.0.0.1", port)));
        } else if (command == "create") {
          line >> name;
          named[name] = host->CreateObject();
        } else if (command == "int" || command == "float" || command == "string") {
          line >> name >> slot >> text;
          Ref<TGNetObject> object = named.at(name);
          if (command == "int") object->SetInt(slot, std::stoi(text));
          if (command == "float") object->SetFloat(slot, std::stof(text));
          if (command == "string") object->SetString(slot, FromHex(text));
        } else if (command == "close") {
          line >> name;
          named.at(name)->Close();
        } else if (command == "message") {
          int marker = 0, value = 0;
          line >> marker >> slot >> value;
          Ref<TGNetObject> target = ByMarker(host, marker);
          if (target) {
            Ref<TGNetObject> message = host->CreateMessage();
            message->SetInt(slot, value);
            host->SendMessage(message, target);
          }
          std::printf("sent %d\n", bool(target));
        } else if (command == "dump") {
          for (Ref<TListNode> node = host->objects->head->succ; !node->IsSentinel();
               node = node->succ) {
            auto object = RefCast<TGNetObject>(node->value);
            int marker = object->slots[0].kind == GNET_EMPTY ? -object->id : object->GetInt(0);
            std::printf("object %d %d %d%s\n", marker, IsRemote(object), object->State(),
                        Slots(object).c_str());
          }
          std::printf("end\n");
        }
      }
      host->Accept();
      host->Sync();
      for (Ref<TListNode> node = host->messages->head->succ; !node->IsSentinel();
           node = node->succ) {
        auto message = RefCast<TGNetObject>(node->value);
        std::printf("message %d%s\n", message->id, Slots(message).c_str());
      }
      for (const auto& list : {host->created, host->modified}) {
        for (Ref<TListNode> node = list->head->succ; !node->IsSentinel(); node = node->succ) {
          auto object = RefCast<TGNetObject>(node->value);
          if (object->slots[0].kind != GNET_EMPTY) seen.insert(object->GetInt(0));
        }
      }
      for (const String& note : host->TakeRefusals())
        std::printf("refused %s\n", ToBytes(note).c_str());
      pollfd entry{0, POLLIN, 0};
      poll(&entry, 1, 2);
    }
  } catch (const TRuntimeError& error) {
    std::printf("error %s\n", ToBytes(error.ToString()).c_str());
    return 3;
  }
}
