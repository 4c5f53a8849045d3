#include "runtime/startup.h"

#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <utility>

#include "runtime/errors.h"
#include "runtime/text.h"

namespace kelpora {

TApplicationState ApplicationState;

namespace {

// Every hook goes to the C library's exit list through its own trampoline, so
// a hook that already ran (normally or on a crash) never runs twice.
constexpr int kMaxExitHooks = 64;
std::array<void (*)(), kMaxExitHooks> exitHooks{};
std::array<std::atomic<bool>, kMaxExitHooks> exitHookDone{};
std::atomic<int> exitHookCount{0};

void RunExitHook(int index) {
  if (exitHookDone[index].exchange(true)) return;
  exitHooks[index]();
}

template <size_t... I>
constexpr std::array<void (*)(), kMaxExitHooks> MakeTrampolines(std::index_sequence<I...>) {
  return {[] { RunExitHook(I); }...};
}
constexpr auto exitTrampolines = MakeTrampolines(std::make_index_sequence<kMaxExitHooks>());

// A crash signal runs the hooks that have not run yet (they restore the video
// mode and close the audio device), then lets the signal end the process so
// the parent sees the crash.
void OnCrashSignal(int signal) {
  std::signal(signal, SIG_DFL);
  for (int i = exitHookCount.load() - 1; i >= 0; --i) RunExitHook(i);
  std::fflush(nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  std::raise(signal);
}

void OnTerminateSignal(int) { std::exit(0); }

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
  int index = exitHookCount.load();
  RuntimeAssert(hook != nullptr && index < kMaxExitHooks);
  exitHooks[index] = hook;
  exitHookCount.store(index + 1);
  std::atexit(exitTrampolines[index]);
}

int RunApplication(int argc, char** argv, MainProcedure mainProcedure) {
  std::signal(SIGBUS, OnCrashSignal);
  std::signal(SIGSEGV, OnCrashSignal);
  std::signal(SIGTERM, OnTerminateSignal);
  std::signal(SIGTRAP, OnCrashSignal);

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
