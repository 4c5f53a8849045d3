#include "audio/stream_ring.h"

#include <algorithm>
#include <cstring>

namespace kelpora {

namespace {

int PowerOfTwoAtLeast(int n) {
  int p = 2;
  while (p < n && p < (1 << 28)) p *= 2;
  return p;
}

}  // namespace

streamring::streamring(int capacity)
    : capacity_(PowerOfTwoAtLeast(capacity)),
      frames_(new int16_t[static_cast<size_t>(capacity_) * 2]()) {}

int streamring::writable() const {
  const uint64_t w = write_.load(std::memory_order_relaxed);
  return capacity_ - static_cast<int>(w - read_.load(std::memory_order_acquire));
}

int16_t* streamring::writeregion(int& frames) {
  const uint64_t w = write_.load(std::memory_order_relaxed);
  const int at = static_cast<int>(w & static_cast<uint64_t>(capacity_ - 1));
  frames = std::min(writable(), capacity_ - at);
  return frames_.get() + 2 * static_cast<size_t>(at);
}

void streamring::publish(int frames) {
  write_.store(write_.load(std::memory_order_relaxed) + static_cast<uint64_t>(frames),
               std::memory_order_release);
}

void streamring::finish() { finished_.store(true, std::memory_order_release); }

int streamring::readable() const {
  const uint64_t r = read_.load(std::memory_order_relaxed);
  return static_cast<int>(write_.load(std::memory_order_acquire) - r);
}

void streamring::copy(int16_t* out, int offset, int frames) const {
  const uint64_t mask = static_cast<uint64_t>(capacity_ - 1);
  int at = static_cast<int>((read_.load(std::memory_order_relaxed) + offset) & mask);
  while (frames > 0) {
    const int n = std::min(frames, capacity_ - at);
    std::memcpy(out, frames_.get() + 2 * static_cast<size_t>(at),
                static_cast<size_t>(n) * 2 * sizeof(int16_t));
    out += 2 * n;
    frames -= n;
    at = 0;
  }
}

void streamring::consume(int frames) {
  read_.store(read_.load(std::memory_order_relaxed) + static_cast<uint64_t>(frames),
              std::memory_order_release);
}

}  // namespace kelpora
