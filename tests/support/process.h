// Runs a child program and collects how it ended and what it printed.
#pragma once

#include <string>
#include <vector>

namespace kelpora::testing {

struct ProcessResult {
  bool exited = false;    // ended through exit(); `status` holds the exit status
  int status = -1;
  bool signalled = false; // ended by a signal; `signal` holds its number
  int signal = 0;
  std::string out;        // standard output
  std::string err;        // standard error
};

// Runs `program` with `args` (argv[0] is `program`) in `workingDir` (empty: the
// current one), standard input from `input`. Gives up after `timeoutMs` by
// killing the child (then `signalled` is true with SIGKILL).
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& workingDir = {}, const std::string& input = {},
                         int timeoutMs = 30000);

// A child that runs while the test goes on. Its output is collected in
// temporary files; Wait ends it (SIGKILL after the timeout) and reports.
class ChildProcess {
 public:
  // `env` entries ("NAME=value") are added to the test's own environment.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int pid() const { return pid_; }
  // True while the child has not ended.
  bool Running();
  void Signal(int signal);
  // Waits until the child's standard output holds `text`; false if it ended
  // or the time ran out first.
  bool WaitForOutput(const std::string& text, int timeoutMs = 60000);
  ProcessResult Wait(int timeoutMs = 30000);

 private:
  int pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::string outPath_, errPath_;
};

}  // namespace kelpora::testing
