// Bytes from one peer into a host's Sync over a socket pair: the host must
// neither raise nor lose its own object or its other peer.
#include <cstddef>
#include <cstdint>

#include "gnet_feed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (64u << 10)) return 0;
  kelpora::testing::FeedGNetPeer(data, size);
  return 0;
}
