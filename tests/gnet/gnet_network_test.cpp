// Hosts in separate processes over loopback TCP, connected in a chain and in
// a star: what one host does to its objects is seen by all the others. Keyed
// hosts do the same, refuse whoever lacks their key, and drop a peer whose
// sealed stream was altered on the way.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gnet/gnet_session.h"
#include "raw_peer.h"

namespace kelpora {
namespace {

using Clock = std::chrono::steady_clock;

// A gnet_node child with pipes to its standard input and output.
class Node {
 public:
  Node() {
    int in[2], out[2];
    if (pipe(in) || pipe(out)) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
      execl(GNET_NODE, GNET_NODE, nullptr);
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
    signal(SIGPIPE, SIG_IGN);
  }
  ~Node() {
    Kill();
    close(input_);
    close(output_);
  }

  void Tell(const std::string& line) {
    std::string text = line + "\n";
    ASSERT_EQ(write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  // The next line starting with `prefix`; the lines before it are dropped.
  std::string Await(const std::string& prefix, int ms = 5000) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      for (size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].rfind(prefix, 0) == 0) {
          std::string line = lines_[i];
          lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
          return line;
        }
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      pollfd entry{output_, POLLIN, 0};
      char chunk[4096];
      ssize_t got;
      if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0 ||
          (got = read(output_, chunk, sizeof chunk)) <= 0)
        return "";
      partial_.append(chunk, static_cast<size_t>(got));
      for (size_t at; (at = partial_.find('\n')) != std::string::npos; partial_.erase(0, at + 1))
        lines_.push_back(partial_.substr(0, at));
    }
  }

  // The objects of the host as "REMOTE STATE SLOTS", keyed by the int in slot 0.
  std::map<int, std::string> Dump() {
    lines_.clear();
    Tell("dump");
    std::map<int, std::string> objects;
    for (std::string line; (line = Await("")) != "end" && !line.empty();) {
      std::istringstream fields(line);
      std::string word, rest;
      int key;
      if (!(fields >> word >> key) || word != "object") continue;
      std::getline(fields >> std::ws, rest);
      objects[key] = rest;
    }
    return objects;
  }

  // Waits until the dump of the object with `marker` in slot 0 satisfies `want`.
  bool AwaitObject(int marker, const std::function<bool(const std::string*)>& want, int ms = 5000) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    do {
      auto objects = Dump();
      auto found = objects.find(marker);
      if (want(found == objects.end() ? nullptr : &found->second)) return true;
      usleep(20000);
    } while (Clock::now() < end);
    return false;
  }

  int Listen() {
    Tell("listen");
    std::string line = Await("port ");
    return line.empty() ? 0 : std::stoi(line.substr(5));
  }
  bool Connect(int port) {
    Tell("connect " + std::to_string(port));
    return Await("connected ") == "connected 1";
  }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1, output_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
};

// Every node of `nodes` comes to hold the object with `marker` in slot 0 with
// these slots (" SLOT:KIND:VALUE"...), or none when `slots` is empty.
void ExpectEverywhere(std::vector<Node*> nodes, int marker, const std::string& slots) {
  for (Node* node : nodes) {
    EXPECT_TRUE(node->AwaitObject(marker,
                                  [&](const std::string* d) {
                                    return slots.empty() ? !d
                                                         : d && d->substr(d->find(' ', 2)) == slots;
                                  }))
        << marker << slots;
  }
}

// `owner` makes object `name` with every slot kind; it and all `others` see the
// same values and kinds, then a change. Returns the slots after the change.
std::string ExpectReplicated(Node& owner, const std::string& name, int marker,
                             std::vector<Node*> others) {
  std::string m = std::to_string(marker);
  auto change = [&](std::vector<std::string> lines) {
    for (std::string& line : lines) owner.Tell(line.insert(line.find(' '), " " + name));
  };
  owner.Tell("create " + name);
  change({"int 0 " + m, "int 1 200", "int 2 300", "int 3 -1", "float 4 1.5", "string 31 4b656c70"});
  others.push_back(&owner);
  ExpectEverywhere(others, marker, " 0:1:" + m + " 1:4:200 2:5:300 3:1:-1 4:2:1.5 31:3:4b656c70");
  change({"int 2 65535", "float 4 -0.25", "int 1 70000"});
  std::string changed = " 0:1:" + m + " 1:1:70000 2:5:65535 3:1:-1 4:2:-0.25 31:3:4b656c70";
  ExpectEverywhere(others, marker, changed);
  return changed;
}

TEST(GNetNetwork, ChainOfThreeHosts) {
  Node a, b, c;
  int portA = a.Listen();
  ASSERT_TRUE(b.Connect(portA));
  ASSERT_TRUE(c.Connect(b.Listen()));

  ExpectReplicated(a, "x", 70001, {&b, &c});
  ExpectReplicated(c, "y", 70002, {&b, &a});

  // A message from one end to the other end's object passes through b.
  c.Tell("message 70001 5 4242");
  std::string message = a.Await("message ");
  EXPECT_NE(message.find(" 5:5:4242"), std::string::npos) << message;
  EXPECT_EQ(b.Await("message ", 300), "") << "the relay keeps nothing of it";

  a.Tell("close x");
  ExpectEverywhere({&a, &b, &c}, 70001, "");

  // c dies without a word: its object goes on b and, relayed, on a.
  c.Kill();
  ExpectEverywhere({&b, &a}, 70002, "");
  EXPECT_TRUE(a.Dump().empty());
}

TEST(GNetNetwork, StarAroundOneHost) {
  Node centre, left, right, third;
  int port = centre.Listen();
  for (Node* leaf : {&left, &right, &third}) ASSERT_TRUE(leaf->Connect(port));

  ExpectReplicated(left, "l", 80001, {&centre, &right, &third});
  std::string centres = ExpectReplicated(centre, "c", 80002, {&left, &right, &third});

  third.Tell("message 80001 7 9");
  EXPECT_NE(left.Await("message ").find(" 7:4:9"), std::string::npos);

  left.Tell("create z");
  left.Tell("int z 0 80003");
  ExpectEverywhere({&third}, 80003, " 0:1:80003");
  left.Kill();
  ExpectEverywhere({&centre, &right, &third}, 80001, "");
  ExpectEverywhere({&centre, &right, &third}, 80003, "");
  ExpectEverywhere({&centre, &right, &third}, 80002, centres);
  centre.Tell("close c");
  ExpectEverywhere({&centre, &right, &third}, 80002, "");
}

using testing::BoundPort;
using testing::RawConnect;
using testing::SendAll;

const std::string KEY_A = "key " + std::string(64, 'a');
const std::string KEY_B = "key " + std::string(64, 'b');

TEST(GNetNetwork, KeyedChainAndStar) {
  {
    Node a, b, c;
    for (Node* node : {&a, &b, &c}) node->Tell(KEY_A);
    ASSERT_TRUE(b.Connect(a.Listen()));
    ASSERT_TRUE(c.Connect(b.Listen()));
    ExpectReplicated(a, "x", 90001, {&b, &c});
    ExpectReplicated(c, "y", 90002, {&b, &a});
    c.Tell("message 90001 5 4242");
    EXPECT_NE(a.Await("message ").find(" 5:5:4242"), std::string::npos);
  }
  // The star's key comes from a passphrase, derived in each process.
  Node centre, left, right;
  for (Node* node : {&centre, &left, &right}) node->Tell("passphrase kelp-forest");
  int port = centre.Listen();
  for (Node* leaf : {&left, &right}) ASSERT_TRUE(leaf->Connect(port));
  ExpectReplicated(left, "l", 90003, {&centre, &right});
  ExpectReplicated(centre, "c", 90004, {&left, &right});
  right.Tell("message 90003 7 9");
  EXPECT_NE(left.Await("message ").find(" 7:4:9"), std::string::npos);
}

// Each side has an object before they meet; when one refuses the other, both
// say why, the Connect fails on the keyed side, and neither applies anything
// of the other's.
TEST(GNetNetwork, HostsWithoutTheSameKeyRefuseEachOther) {
  struct Case {
    std::string hostKey, peerKey;
    const char* connected;
    const char* hostReason;
    const char* peerReason;
  } cases[] = {
      {KEY_A, KEY_B, "connected 0", "another session key", "another session key"},
      {KEY_A, "", "connected 0", "no session key", "requires a session key"},
      {"", KEY_A, "connected 0", "requires a session key", "no session key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hostKey + " / " + c.peerKey);
    Node host, peer;
    for (auto [node, key, marker] :
         {std::tuple{&host, c.hostKey, "91000"}, std::tuple{&peer, c.peerKey, "91001"}}) {
      if (!key.empty()) node->Tell(key);
      node->Tell(std::string("create o\nint o 0 ") + marker);
    }
    int port = host.Listen();
    ASSERT_TRUE(host.AwaitObject(91000, [](const std::string* d) { return d; }));
    ASSERT_TRUE(peer.AwaitObject(91001, [](const std::string* d) { return d; }));
    peer.Tell("connect " + std::to_string(port));
    EXPECT_EQ(peer.Await("connected ", 10000), c.connected);
    EXPECT_NE(host.Await("refused ", 10000).find(c.hostReason), std::string::npos);
    EXPECT_NE(peer.Await("refused ", 10000).find(c.peerReason), std::string::npos);
    for (Node* node : {&host, &peer}) {
      node->Tell("peers");
      EXPECT_EQ(node->Await("peers "), "peers 0");
      node->Tell("seen");
      EXPECT_EQ(node->Await("seen"), "seen");
    }
  }
}

// Passes bytes between a keyed node that connects and one that listens; the
// connecting side's frames after Arm() are altered once, as `change` says.
class TamperingProxy {
 public:
  enum Change { FLIP, DROP, SWAP, REPEAT };
  TamperingProxy(int targetPort, Change change)
      : listener_(testing::RawBound(SOCK_STREAM)), target_(targetPort), change_(change) {
    listen(listener_, 1);
    thread_ = std::thread([this] { Run(); });
  }
  ~TamperingProxy() {
    Stop();
    close(listener_);
  }
  // Ends the proxy; everything the connecting side sent.
  std::string Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return sent_;
  }
  int Port() { return BoundPort(listener_); }
  void Arm() { armed_ = true; }
  // Frames the connecting side sent since Arm().
  int Frames() const { return frames_; }

 private:
  void Run() {
    int client = -1;
    while (!stop_ && client < 0) {
      pollfd entry{listener_, POLLIN, 0};
      if (poll(&entry, 1, 20) > 0) client = accept(listener_, nullptr, nullptr);
    }
    if (client < 0) return;
    int server = RawConnect(target_);
    // The connecting side's hello, challenge and proof pass as they are.
    size_t handshake = 6 + GNET_CHALLENGE_SIZE + GNET_PROOF_SIZE;
    std::string up, held;
    bool done = false;
    while (!stop_) {
      pollfd entries[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      if (poll(entries, 2, 20) <= 0) continue;
      char chunk[65536];
      if (entries[1].revents) {
        ssize_t n = recv(server, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        SendAll(client, std::string(chunk, static_cast<size_t>(n)));
      }
      if (!entries[0].revents) continue;
      ssize_t n = recv(client, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      up.append(chunk, static_cast<size_t>(n));
      sent_.append(chunk, static_cast<size_t>(n));
      size_t pass = std::min(handshake, up.size());
      SendAll(server, up.substr(0, pass));
      handshake -= pass;
      up.erase(0, pass);
      while (up.size() >= GNET_FRAME_HEADER) {
        size_t size = GNET_FRAME_HEADER;
        for (size_t i = 0; i < GNET_FRAME_HEADER; ++i)
          size += static_cast<size_t>(static_cast<uint8_t>(up[i])) << (8 * (3 - i));
        if (up.size() < size) break;
        std::string frame = up.substr(0, size);
        up.erase(0, size);
        if (!armed_ || done) {
          SendAll(server, frame);
          continue;
        }
        ++frames_;
        if (change_ == FLIP) frame[size / 2] ^= 0x04;
        if (change_ == SWAP && held.empty()) {
          held = frame;
          continue;
        }
        if (change_ != DROP) SendAll(server, frame);
        if (change_ == REPEAT) SendAll(server, frame);
        if (change_ == SWAP) SendAll(server, held);
        done = true;
      }
    }
    close(client);
    close(server);
  }

  int listener_;
  int target_;
  Change change_;
  std::atomic<bool> stop_{false}, armed_{false};
  std::atomic<int> frames_{0};
  std::string sent_;
  std::thread thread_;
};

// The receiver drops the peer whose stream was altered (its objects go) and
// applies nothing of what came from the altered frame on; both stay up.
TEST(GNetNetwork, KeyedHostDropsAPeerWhoseFramesWereAltered) {
  for (auto change :
       {TamperingProxy::FLIP, TamperingProxy::DROP, TamperingProxy::SWAP, TamperingProxy::REPEAT}) {
    SCOPED_TRACE(change);
    Node a, b;
    a.Tell(KEY_A);
    b.Tell(KEY_A);
    a.Tell("create o\nint o 0 92000");
    TamperingProxy proxy(a.Listen(), change);
    ASSERT_TRUE(b.Connect(proxy.Port()));
    // "sealed slot text": it travels, but never in the clear.
    b.Tell("create x\nint x 0 92001\nstring x 1 7365616c656420736c6f742074657874");
    ExpectEverywhere({&a}, 92001, " 0:1:92001 1:3:7365616c656420736c6f742074657874");
    ExpectEverywhere({&b}, 92000, " 0:1:92000");
    proxy.Arm();
    b.Tell("create y\nint y 0 92002");
    auto end = Clock::now() + std::chrono::seconds(10);
    while (proxy.Frames() < 1 && Clock::now() < end) usleep(1000);
    b.Tell("create z\nint z 0 92003");

    ExpectEverywhere({&a}, 92001, "");
    a.Tell("peers");
    EXPECT_EQ(a.Await("peers "), "peers 0");
    a.Tell("seen");
    // A repeated frame follows the genuine one, which was applied.
    EXPECT_EQ(a.Await("seen"),
              change == TamperingProxy::REPEAT ? "seen 92001 92002" : "seen 92001");
    EXPECT_NE(a.Dump().count(92000), 0u);
    auto own = b.Dump();
    for (int marker : {92001, 92002, 92003}) EXPECT_NE(own.count(marker), 0u) << marker;
    std::string sent = proxy.Stop();
    EXPECT_GT(sent.size(), 100u);
    EXPECT_EQ(sent.find("sealed slot text"), std::string::npos);
  }
}

}  // namespace
}  // namespace kelpora
