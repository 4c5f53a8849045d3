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

}  // namespace kelpora::testing
