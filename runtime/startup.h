// Process start-up, the application's identity and the exit path.
#pragma once

#include <vector>

#include "runtime/object.h"

namespace kelpora {

struct TApplicationState {
  String startDir;  // working directory when the process started
  String exeDir;    // directory of the executable; the working directory from start-up on
  String exePath;   // the running executable, from "/proc/<pid>/exe"
  String title;     // "Kelpora Application"
  std::vector<String> arguments;  // every argument, the program name first
};

// Filled once by RunApplication and never changed by the runtime afterwards.
extern TApplicationState ApplicationState;

using MainProcedure = void (*)();

// The process entry: installs the signal handling, fills ApplicationState,
// changes to the executable's directory and runs `mainProcedure`. Returns 0
// when it returns; an error that nothing handles ends the process with status 255.
int RunApplication(int argc, char** argv, MainProcedure mainProcedure);

// Registers `hook` to run at process exit, hooks in reverse order of
// registration. They also run when the process ends on SIGTERM (status 0, at
// the main thread's next safe point: see runtime/termination.h) or on SIGSEGV,
// SIGBUS or SIGTRAP, after which the process dies of that signal.
void AddExitHook(void (*hook)());

}  // namespace kelpora
