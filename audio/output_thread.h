// What the output devices share: a detached thread that runs the device's
// `output` loop, the flag that stops it, and two holders of the device (its
// owner and the running thread), so that whichever lets go last deletes it:
// a thread stuck in a write that never returns outlives `close` safely.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "audio/software_mixer.h"

namespace kelpora {

class threadedaudio : public audiodevice {
 public:
  void dispose() override;
  // True once the output thread has ended (or never started).
  bool finished() const { return finished_.load(); }
  // CPU time of the output thread so far, in nanoseconds (-1 when unknown).
  int64_t threadcpu() const;

 protected:
  ~threadedaudio() override = default;  // through dispose
  // Sets the running flag and starts the thread; false when none could be made.
  bool startthread();
  // Waits, at most 5 s in short steps, for the thread to end once `running_`
  // was cleared.
  void waitforthread() const;
  // The thread's last step, after it has let go of its device.
  void threadended();
  virtual void output() = 0;

  std::atomic<int> running_{0};

 private:
  static void* run(void* self);
  void letgo();

  pthread_t thread_{};
  std::atomic<bool> finished_{true};
  std::atomic<int> holders_{1};
};

}  // namespace kelpora
