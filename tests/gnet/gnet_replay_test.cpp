// Replays the inputs the GNet fuzz target kept (seeds and past findings).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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

}  // namespace
}  // namespace kelpora
