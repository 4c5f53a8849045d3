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

}  // namespace
}  // namespace kelpora
