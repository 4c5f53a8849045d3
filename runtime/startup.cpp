#include "runtime/startup.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "runtime/errors.h"
#include "runtime/termination.h"
#include "runtime/text.h"

namespace kelpora {

TApplicationState ApplicationState;

namespace {

// Every hook gets its own entry in the C library's exit list, so hooks stay
// interleaved with other exit-time registrations. The entries all call one
// trampoline that runs the newest hook still pending: when entry i runs, the
// later entries have run the later hooks, so that is hook i. A hook that
// already ran (on a crash) is skipped. Hooks sit in a list that only grows at
// its head, so the crash handler can walk it without locks.
struct ExitHook {
  void (*hook)();
  ExitHook* older;
  std::atomic<bool> done{false};
};
std::atomic<ExitHook*> newestExitHook{nullptr};

bool RunNewestPendingHook() {
  for (ExitHook* h = newestExitHook.load(std::memory_order_acquire); h; h = h->older) {
    if (!h->done.exchange(true)) {
      h->hook();
      return true;
    }
  }
  return false;
}

void ExitTrampoline() {
  NoteExitStarted();
  RunNewestPendingHook();
}

// A crash signal restores the video mode through the watchdog's own
// connection, runs the hooks that have not run yet (they close the audio
// device; graphics leaves its driver alone), then lets the signal end the
// process so the parent sees the crash.
void OnCrashSignal(int signal) {
  std::signal(signal, SIG_DFL);
  NoteCrashSignal(signal);
  RunEmergencyRestore();
  while (RunNewestPendingHook()) {
  }
  std::fflush(nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  std::raise(signal);
}

String ReadExecutablePath() {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/%i/exe", static_cast<int>(getpid()));
  char buffer[1024];
  ssize_t length = readlink(link, buffer, sizeof buffer - 1);
  if (length < 1) return u".";
  return FromBytes(std::string_view(buffer, static_cast<size_t>(length)));
}

}  // namespace

void AddExitHook(void (*hook)()) {
  RuntimeAssert(hook != nullptr);
  auto* entry = new ExitHook{hook, newestExitHook.load(std::memory_order_relaxed)};
  newestExitHook.store(entry, std::memory_order_release);
  std::atexit(ExitTrampoline);
}

int RunApplication(int argc, char** argv, MainProcedure mainProcedure) {
  std::signal(SIGBUS, OnCrashSignal);
  std::signal(SIGSEGV, OnCrashSignal);
  std::signal(SIGTRAP, OnCrashSignal);
  InstallTerminationHandling();

  String exePath = ReadExecutablePath();
  size_t slash = exePath.rfind(u'/');
  // With no "/" (an unreadable link gives ".") the executable's directory is ".".
  String exeDir = slash == String::npos ? String(u".") : exePath.substr(0, slash);
  if (slash == 0) exeDir = u"/";

  char cwd[1024];
  ApplicationState.startDir = getcwd(cwd, sizeof cwd) ? FromBytes(cwd) : String();
  ApplicationState.exeDir = exeDir;
  ApplicationState.exePath = exePath;
  ApplicationState.title = u"Kelpora Application";
  ApplicationState.arguments.clear();
  for (int i = 0; i < argc; ++i) ApplicationState.arguments.push_back(FromBytes(argv[i]));

  // A failed change leaves the start directory in force.
  [[maybe_unused]] int ignored = chdir(ToBytes(exeDir).c_str());

  InitErrorModule();
  try {
    mainProcedure();
  } catch (const TRuntimeError& error) {
    OnUncaughtError(error);
  } catch (const std::exception& error) {
    OnUncaughtError(TMessageError(FromBytes(error.what())));
  }
  return 0;
}

}  // namespace kelpora
