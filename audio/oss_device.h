// The OSS output device: owns the mixer and the thread that mixes one block of
// 1024 stereo frames at a time and writes it to the device, paced by the
// blocking write. With no device file the thread prints "linuxaudio failed"
// once and ends; the program goes on without sound.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/output_thread.h"

namespace kelpora {

class linuxaudio : public threadedaudio {
 public:
  // `path` is "/dev/dsp" for players; tests point it at a FIFO or a file.
  explicit linuxaudio(std::string path = "/dev/dsp");

  // Creates the mixer (2048 samples a pass, 44100 Hz stereo) and starts the
  // output thread. Returns 0.
  int open() override;
  // Tells the thread to stop and waits, at most 5 s in short steps, for it to
  // close the device; at once if the device was never opened. Returns 0.
  int close() override;

  // True while the output thread has the device file open.
  bool deviceopen() const { return descriptor_.load() >= 0; }

  const std::string path;
  static constexpr int BUFFER_LENGTH = 4096;  // bytes: 1024 frames of 16-bit stereo

 private:
  ~linuxaudio() override = default;  // through dispose
  void output() override;

  std::atomic<int> descriptor_{-1};
  std::vector<int16_t> buffer_;
};

}  // namespace kelpora
