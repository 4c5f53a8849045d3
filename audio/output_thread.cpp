#include "audio/output_thread.h"

#include <sched.h>
#include <signal.h>
#include <time.h>

#include <chrono>
#include <thread>

namespace kelpora {

bool threadedaudio::startthread() {
  running_ = 1;
  finished_ = false;
  holders_ = 2;
  if (pthread_create(&thread_, nullptr, run, this) == 0) {
    pthread_detach(thread_);
    return true;
  }
  holders_ = 1;
  finished_ = true;
  return false;
}

void threadedaudio::waitforthread() const {
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + seconds(5);
  while (!finished_ && steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
}

void threadedaudio::threadended() {
  finished_ = true;
  letgo();
}

void threadedaudio::letgo() {
  if (holders_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void threadedaudio::dispose() { letgo(); }

int64_t threadedaudio::threadcpu() const {
  clockid_t clock;
  timespec ts;
  if (finished_ || pthread_getcpuclockid(thread_, &clock) != 0 || clock_gettime(clock, &ts) != 0)
    return -1;
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void* threadedaudio::run(void* self) {
  // A reader or sound server that went away makes a write fail instead of
  // killing the process.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  int policy;
  sched_param param;
  if (pthread_getschedparam(pthread_self(), &policy, &param) == 0) {
    param.sched_priority += 1;
    pthread_setschedparam(pthread_self(), policy, &param);
  }
  static_cast<threadedaudio*>(self)->output();
  return nullptr;
}

}  // namespace kelpora
