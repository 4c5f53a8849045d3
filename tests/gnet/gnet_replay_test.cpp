// Replays the inputs the GNet fuzz target kept (seeds and past findings).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "gnet_feed.h"

namespace kelpora {
namespace {

TEST(GNetFuzzRegressions, KeptInputsLeaveTheHostAndItsOtherPeerIntact) {
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(KELPORA_FUZZ_REGRESSIONS "/gnet")) {
    std::ifstream file(entry.path(), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    SCOPED_TRACE(entry.path().string());
    testing::FeedGNetPeer(bytes.data(), bytes.size());
    ++replayed;
  }
  EXPECT_GE(replayed, 6);
}

// The keyed target's inputs, and every plain one sealed in large frames and
// (when small) one byte a frame, from a peer that completed the key handshake.
TEST(GNetFuzzRegressions, KeyedInputsLeaveTheHostAndItsOtherPeerIntact) {
  int replayed = 0;
  for (const char* folder : {"/gnet_keyed", "/gnet"}) {
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(KELPORA_FUZZ_REGRESSIONS) + folder)) {
      std::ifstream file(entry.path(), std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                 std::istreambuf_iterator<char>());
      SCOPED_TRACE(entry.path().string());
      if (folder[5] == '_') {
        testing::FeedKeyedGNetPeer(bytes.data(), bytes.size());
      } else {
        for (uint8_t frame : {0, 255}) {
          // One byte a frame is 22 on the wire: large inputs would fill the socket pair.
          if (frame == 0 && bytes.size() > 4096) continue;
          bytes.insert(bytes.begin(), {0, frame});
          testing::FeedKeyedGNetPeer(bytes.data(), bytes.size());
          bytes.erase(bytes.begin(), bytes.begin() + 2);
        }
      }
      ++replayed;
    }
  }
  EXPECT_GE(replayed, 10);
}

}  // namespace
}  // namespace kelpora
