// The ring of decoded frames between the decoder thread (the only writer) and
// the output thread (the only reader) of one streamed voice. Frames are 16-bit
// stereo. The two ends meet only through atomic frame counters: the writer
// publishes with release, the reader acquires, so neither ever waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace kelpora {

// About 1.5 s at 44100 Hz: the decoder may stall that long before a gap.
constexpr int STREAM_RING_FRAMES = 65536;

class streamring {
 public:
  // `capacity` is rounded up to a power of two (at least 2).
  explicit streamring(int capacity = STREAM_RING_FRAMES);

  int capacity() const { return capacity_; }

  // Writer. Free frames, and the free frames that follow each other in memory
  // from the write position (where a decode may go directly).
  int writable() const;
  int16_t* writeregion(int& frames);
  // Makes `frames` written at writeregion visible to the reader.
  void publish(int frames);
  // No frame follows those published; the reader ends the voice after them.
  void finish();

  // Reader. Frames ready, and whether the writer finished (read this first:
  // once it is true, readable() counts every frame there will be).
  int readable() const;
  bool finished() const { return finished_.load(std::memory_order_acquire); }
  // Copies `frames` ready frames, from `offset` frames past the read position.
  void copy(int16_t* out, int offset, int frames) const;
  // Lets the writer reuse the first `frames` ready frames.
  void consume(int frames);

 private:
  int capacity_;
  std::unique_ptr<int16_t[]> frames_;
  alignas(64) std::atomic<uint64_t> read_{0};
  alignas(64) std::atomic<uint64_t> write_{0};
  std::atomic<bool> finished_{false};
};

}  // namespace kelpora
