#include "runtime/termination.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace kelpora {

namespace {

// The watchdog sleeps on the read end; the handlers write one byte. The write
// end never blocks, so a handler cannot hang on a full pipe.
int wakeFds[2] = {-1, -1};
std::atomic<bool> terminateRequested{false};
std::atomic<bool> exitStarted{false};
std::atomic<int> crashSignal{0};
std::atomic<void (*)()> emergencyRestore{nullptr};
pthread_t mainThread;
std::atomic<bool> installed{false};

void WakeWatchdog() {
  const int saved = errno;
  char byte = 0;
  [[maybe_unused]] ssize_t n = write(wakeFds[1], &byte, 1);
  errno = saved;
}

void OnTerminateSignal(int) {
  terminateRequested.store(true);
  WakeWatchdog();
}

void Watchdog() {
  char byte;
  while (read(wakeFds[0], &byte, 1) != 1) {
  }
  timespec grace{TERMINATION_GRACE_MS / 1000, (TERMINATION_GRACE_MS % 1000) * 1000000L};
  while (nanosleep(&grace, &grace) == -1 && errno == EINTR) {
  }
  // The main thread did not get out in time: it may be inside a driver whose
  // locks the exit hooks would wait on. Undo the video mode on the side and go.
  RunEmergencyRestore();
  // A crash whose handler hangs still ends by its own signal (the handler set
  // it back to the default action; this thread does not block it).
  if (int signal = crashSignal.load()) kill(getpid(), signal);
  _exit(0);
}

}  // namespace

void InstallTerminationHandling() {
  if (installed.exchange(true)) return;
  mainThread = pthread_self();
  if (pipe2(wakeFds, O_CLOEXEC) != 0) return;
  fcntl(wakeFds[1], F_SETFL, O_NONBLOCK);
  std::thread(Watchdog).detach();
  struct sigaction action {};
  action.sa_handler = OnTerminateSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
}

bool TerminationRequested() { return terminateRequested.load(std::memory_order_relaxed); }

void ExitIfTerminationRequested() {
  if (!TerminationRequested() || !installed.load()) return;
  if (!pthread_equal(pthread_self(), mainThread)) return;
  // A hook that waits while the exit path runs must not start it again.
  if (exitStarted.exchange(true)) return;
  std::exit(0);
}

void NoteExitStarted() { exitStarted.store(true); }

void NoteCrashSignal(int signal) {
  crashSignal.store(signal);
  if (installed.load()) WakeWatchdog();
}

bool CrashInProgress() { return crashSignal.load() != 0; }

void SetEmergencyRestore(void (*restore)()) { emergencyRestore.store(restore); }

void RunEmergencyRestore() {
  if (auto restore = emergencyRestore.exchange(nullptr)) restore();
}

}  // namespace kelpora
