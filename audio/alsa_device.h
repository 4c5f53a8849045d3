// The ALSA output device: owns the mixer and the thread that mixes one block
// of 1024 stereo frames at a time and writes it to an ALSA PCM ("default"
// unless told otherwise), paced by the blocking write. Unlike the OSS device
// it opens and configures the PCM in `open`, so a caller learns at once
// whether it works. Underruns and suspends are recovered and counted; a PCM
// that fails for good ends the thread with one line on standard output and
// the program goes on without sound.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/output_thread.h"

typedef struct _snd_pcm snd_pcm_t;

namespace kelpora {

class alsaaudio : public threadedaudio {
 public:
  explicit alsaaudio(std::string pcmname = "default");

  // Opens and configures the PCM (16-bit little-endian stereo at 44100 Hz,
  // periods of about 1024 frames, a buffer of about 3 periods), creates the
  // mixer and starts the output thread. Nonzero when the PCM cannot be opened
  // or configured; `error()` then says why.
  int open() override;
  // Tells the thread to stop and waits, at most 5 s, for it to close the PCM.
  // Returns 0.
  int close() override;

  // ALSA's text for the failure of `open` or of the running PCM.
  const std::string& error() const { return error_; }
  // What ALSA granted, in frames, and the frames queued when a block is mixed.
  long periodframes() const { return period_; }
  long bufferframes() const { return buffer_; }
  long queueframes() const { return queued_.load(std::memory_order_relaxed); }
  // Blocks written whole, and underruns and suspends recovered, so far.
  long blocks() const { return blocks_.load(std::memory_order_relaxed); }
  int recoveries() const { return recoveries_.load(std::memory_order_relaxed); }

  const std::string pcmname;
  static constexpr int BLOCK_FRAMES = 1024;

 private:
  ~alsaaudio() override;  // through dispose
  void output() override;
  bool recover(int err, int& failed);
  bool waitforroom();
  void setqueue(long frames);
  void lengthenqueue();
  bool writeblock();

  snd_pcm_t* pcm_ = nullptr;
  long period_ = 0, buffer_ = 0;
  std::atomic<long> queued_{0};  // frames left in the buffer when the next block is mixed
  std::string error_;
  std::atomic<long> blocks_{0};
  std::atomic<int> recoveries_{0};
  std::vector<int16_t> block_;
};

}  // namespace kelpora
