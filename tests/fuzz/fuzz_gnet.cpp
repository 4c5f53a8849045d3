// Bytes from one peer into a host's Sync over a socket pair: the host must
// neither raise nor lose its own object or its other peer. Built as
// fuzz_gnet_keyed, the bytes come from a peer that completed the key handshake.
#include <cstddef>
#include <cstdint>

#include "gnet_feed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#ifdef KELPORA_FUZZ_GNET_KEYED
  // Sealed one byte a frame, 4 KB is 88 KB on the wire: within the socket
  // pair's buffer, which the feed fills before the host reads.
  if (size > (4u << 10)) return 0;
  kelpora::testing::FeedKeyedGNetPeer(data, size);
#else
  if (size > (64u << 10)) return 0;
  kelpora::testing::FeedGNetPeer(data, size);
#endif
  return 0;
}
