// parec recording a PulseAudio sink's monitor as raw 16-bit stereo at 44100 Hz
// on a pipe. A thread keeps what comes and stamps each chunk with the
// monotonic time it arrived, so that a sound's delay can be told from when it
// was started. Used by the sound-server tests and the latency benchmark.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kelpora::audiotest {

// CLOCK_MONOTONIC in nanoseconds, the clock of the arrival stamps.
long long MonotonicNs();

class PulseRecorder {
 public:
  // Records `sink`'s monitor, asking parec for `latencyMs` of latency.
  PulseRecorder(const std::string& sink, int latencyMs);
  ~PulseRecorder();
  PulseRecorder(const PulseRecorder&) = delete;
  PulseRecorder& operator=(const PulseRecorder&) = delete;

  // Ends parec and the thread; what was recorded stays readable.
  void Stop();
  // Waits up to `timeoutMs` for the first chunk; whether it came.
  bool WaitStarted(int timeoutMs) const;
  // Whole frames recorded so far.
  size_t Frames() const;
  // The samples recorded so far, interleaved left and right.
  std::vector<int16_t> Samples() const;
  // The first frame at or after `from` whose left sample is louder than
  // `level`, if one has come.
  std::optional<size_t> FirstLoudFrame(size_t from, int level) const;
  // When the chunk holding `frame` arrived; -1 if it has not.
  long long ArrivalNs(size_t frame) const;
  // When `frame` was captured: its chunk's arrival less the frames after it
  // in the chunk; -1 if it has not arrived.
  long long CapturedNs(size_t frame) const;

 private:
  void Run();
  // The arrival (end byte, time) of the chunk holding byte `offset`; null if none.
  const std::pair<size_t, long long>* ChunkOf(size_t offset) const;

  pid_t pid_ = -1;
  int fd_ = -1;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<char> bytes_;
  std::vector<std::pair<size_t, long long>> arrivals_;  // end byte of each chunk, time
};

}  // namespace kelpora::audiotest
