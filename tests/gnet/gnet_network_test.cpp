// Hosts in separate processes over loopback TCP, connected in a chain and in
// a star: what one host does to its objects is seen by all the others.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

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

  // The next line starting with `prefix`; earlier lines are kept in `seen`.
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
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
      if (left <= 0 || !ReadSome(left)) return "";
    }
  }

  // The objects of the host as "REMOTE STATE SLOTS", keyed by the int in slot 0.
  std::map<int, std::string> Dump() {
    lines_.clear();
    Tell("dump");
    std::map<int, std::string> objects;
    for (std::string line; (line = Await("")) != "end" && !line.empty();) {
      if (line.rfind("object ", 0) != 0) continue;
      std::istringstream fields(line.substr(7));
      int id, remote, state;
      std::string rest;
      fields >> id >> remote >> state;
      std::getline(fields, rest);
      size_t marker = rest.find(" 0:");
      int key = marker == std::string::npos
                    ? -id
                    : std::stoi(rest.substr(rest.find(':', marker + 3) + 1));
      objects[key] = std::to_string(remote) + " " + std::to_string(state) + rest;
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
  bool ReadSome(int ms) {
    pollfd entry{output_, POLLIN, 0};
    if (poll(&entry, 1, ms) <= 0) return false;
    char chunk[4096];
    ssize_t got = read(output_, chunk, sizeof chunk);
    if (got <= 0) return false;
    partial_.append(chunk, static_cast<size_t>(got));
    for (size_t end; (end = partial_.find('\n')) != std::string::npos; partial_.erase(0, end + 1)) {
      lines_.push_back(partial_.substr(0, end));
    }
    return true;
  }

  pid_t pid_ = -1;
  int input_ = -1, output_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
};

// The slots of an object as its owner dumps them, less the "REMOTE STATE" part.
std::string SlotsOf(const std::string* dump) {
  return dump ? dump->substr(dump->find(' ', 2)) : "<none>";
}

bool Gone(const std::string* dump) { return dump == nullptr; }

// Owner `owner` makes object `name` with every slot kind; all `others` see
// the same values and kinds, then a change, then its close.
void ExpectReplicated(Node& owner, const std::string& name, int marker, std::vector<Node*> others) {
  owner.Tell("create " + name);
  owner.Tell("int " + name + " 0 " + std::to_string(marker));
  owner.Tell("int " + name + " 1 200");
  owner.Tell("int " + name + " 2 300");
  owner.Tell("int " + name + " 3 -1");
  owner.Tell("float " + name + " 4 1.5");
  owner.Tell("string " + name + " 31 4b656c70");
  std::string slots;
  ASSERT_TRUE(owner.AwaitObject(
      marker, [&](const std::string* d) { return d && (slots = SlotsOf(d)).size() > 0; }));
  EXPECT_EQ(slots,
            " 0:1:" + std::to_string(marker) + " 1:4:200 2:5:300 3:1:-1 4:2:1.5 31:3:4b656c70");
  for (Node* other : others) {
    EXPECT_TRUE(
        other->AwaitObject(marker, [&](const std::string* d) { return d && SlotsOf(d) == slots; }));
  }

  owner.Tell("int " + name + " 2 65535");
  owner.Tell("float " + name + " 4 -0.25");
  owner.Tell("int " + name + " 1 70000");
  std::string changed =
      " 0:1:" + std::to_string(marker) + " 1:1:70000 2:5:65535 3:1:-1 4:2:-0.25 31:3:4b656c70";
  for (Node* other : others) {
    EXPECT_TRUE(other->AwaitObject(
        marker, [&](const std::string* d) { return d && SlotsOf(d) == changed; }));
  }
}

void ExpectClosedEverywhere(Node& owner, const std::string& name, int marker,
                            std::vector<Node*> others) {
  owner.Tell("close " + name);
  EXPECT_TRUE(owner.AwaitObject(marker, Gone));
  for (Node* other : others) EXPECT_TRUE(other->AwaitObject(marker, Gone));
}

TEST(GNetNetwork, ChainOfThreeHosts) {
  Node a, b, c;
  int portA = a.Listen();
  int portB = b.Listen();
  ASSERT_TRUE(b.Connect(portA));
  ASSERT_TRUE(c.Connect(portB));

  ExpectReplicated(a, "x", 70001, {&b, &c});
  ExpectReplicated(c, "y", 70002, {&b, &a});

  // A message from one end to the other end's object passes through b.
  c.Tell("message 70001 5 4242");
  EXPECT_EQ(c.Await("sent "), "sent 1");
  std::string message = a.Await("message ");
  EXPECT_NE(message.find(" 5:5:4242"), std::string::npos) << message;
  EXPECT_EQ(b.Await("message ", 300), "") << "the relay keeps nothing of it";

  ExpectClosedEverywhere(a, "x", 70001, {&b, &c});

  // c dies without a word: its object goes on b and, relayed, on a.
  c.Kill();
  EXPECT_TRUE(b.AwaitObject(70002, Gone));
  EXPECT_TRUE(a.AwaitObject(70002, Gone));
  EXPECT_TRUE(a.Dump().empty());
}

TEST(GNetNetwork, StarAroundOneHost) {
  Node centre, left, right, third;
  int port = centre.Listen();
  for (Node* leaf : {&left, &right, &third}) ASSERT_TRUE(leaf->Connect(port));

  ExpectReplicated(left, "l", 80001, {&centre, &right, &third});
  ExpectReplicated(centre, "c", 80002, {&left, &right, &third});

  third.Tell("message 80001 7 9");
  EXPECT_EQ(third.Await("sent "), "sent 1");
  EXPECT_NE(left.Await("message ").find(" 7:4:9"), std::string::npos);

  left.Tell("create z");
  left.Tell("int z 0 80003");
  EXPECT_TRUE(third.AwaitObject(80003, [](const std::string* d) { return d != nullptr; }));
  left.Kill();
  for (Node* other : {&centre, &right, &third}) {
    EXPECT_TRUE(other->AwaitObject(80001, Gone));
    EXPECT_TRUE(other->AwaitObject(80003, Gone));
    EXPECT_TRUE(other->AwaitObject(80002, [](const std::string* d) { return d != nullptr; }));
  }
  ExpectClosedEverywhere(centre, "c", 80002, {&right, &third});
}

}  // namespace
}  // namespace kelpora
