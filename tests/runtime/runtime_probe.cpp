// Runs one start-up/exit scenario chosen by the first argument.
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>

#include "runtime/clock.h"
#include "runtime/errors.h"
#include "runtime/startup.h"
#include "runtime/system_driver.h"
#include "runtime/text.h"

using namespace kelpora;

namespace {

std::string scenario;

// Hooks write straight to the descriptor so that nothing depends on stdio
// buffers surviving a crash.
void Say(const char* text) { [[maybe_unused]] ssize_t n = write(1, text, std::strlen(text)); }
void FirstHook() { Say("first hook\n"); }
void SecondHook() { Say("second hook\n"); }

template <int N>
void NumberedHook() {
  Say((std::to_string(N) + " ").c_str());
}

template <int... N>
void AddNumberedHooks(std::integer_sequence<int, N...>) {
  (AddExitHook(NumberedHook<N>), ...);
}

void Crash() {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  Say(std::to_string(*static_cast<volatile int*>(page)).c_str());
}

void Main() {
  InitSystemModule();
  AddExitHook(FirstHook);
  AddExitHook(SecondHook);
  if (scenario == "return") return;
  if (scenario == "many-hooks") AddNumberedHooks(std::make_integer_sequence<int, 100>());
  if (scenario == "error") RaiseError(u"List index out of range");
  if (scenario == "std-error") throw std::runtime_error("out of memory");
  if (scenario == "handled") {
    try {
      try {
        RaiseError(u"inner");
      } catch (const TRuntimeError& error) {
        Say(("caught " + ToBytes(error.ToString()) + "\n").c_str());
        RaiseError(u"outer");
      }
    } catch (const TRuntimeError& error) {
      Say(("caught " + ToBytes(error.ToString()) + "\n").c_str());
    }
    return;
  }
  if (scenario == "sigterm") std::raise(SIGTERM);
  // Waiting for SIGTERM from the test: in the runtime's own waits, which are
  // safe points, or in a loop of the program's own, which never reaches one.
  if (scenario == "wait-delay" || scenario == "wait-tick" || scenario == "wait-busy") {
    Say("ready\n");
    Ref<TTickTimer> timer = CreateTickTimer(100);
    for (volatile bool forever = true; forever;) {
      if (scenario == "wait-delay") DelayMs(10);
      if (scenario == "wait-tick") WaitTick(timer);
    }
  }
  if (scenario == "segv") Crash();
  if (scenario == "sigbus") std::raise(SIGBUS);
  if (scenario == "sigtrap") std::raise(SIGTRAP);
  if (scenario == "startup") {
    std::ifstream data("probe-data.txt");
    std::string line;
    std::getline(data, line);
    std::cout << "data=" << line << "\n"
              << "exeDir=" << ToBytes(ApplicationState.exeDir) << "\n"
              << "exePath=" << ToBytes(ApplicationState.exePath) << "\n"
              << "startDir=" << ToBytes(ApplicationState.startDir) << "\n"
              << "title=" << ToBytes(ApplicationState.title) << "\n"
              << "cwd=" << std::filesystem::current_path().string() << "\n";
    for (const auto& argument : ApplicationState.arguments)
      std::cout << "arg=" << ToBytes(argument) << "\n";
    std::cout.flush();
  }
  if (scenario == "console") {
    // Three questions answered on standard input.
    int confirmed = SystemDriver()->ConsoleConfirm(u"Save");
    int proceed = SystemDriver()->ConsoleProceed(u"Quit");
    int cancelled = SystemDriver()->ConsoleProceed(u"Quit");
    String file = SystemDriver()->ConsoleRequestFile();
    SystemDriver()->ConsoleNotify(u"[" + file + u"]");
    std::printf("%d %d %d\n", confirmed, proceed, cancelled);
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  scenario = argc > 1 ? argv[1] : "";
  return RunApplication(argc, argv, Main);
}
