#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kelpora::testing {

namespace {

long long NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// In the child: runs the program or ends with status 127.
[[noreturn]] void Exec(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

}  // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& workingDir, const std::string& input, int timeoutMs) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe(inPipe) || pipe(outPipe) || pipe(errPipe)) throw std::runtime_error("pipe failed");
  pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
    if (!workingDir.empty() && chdir(workingDir.c_str()) != 0) _exit(126);
    Exec(program, args);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  signal(SIGPIPE, SIG_IGN);
  if (!input.empty()) {
    [[maybe_unused]] ssize_t written = write(inPipe[1], input.data(), input.size());
  }
  close(inPipe[1]);

  ProcessResult result;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  long long deadline = NowMs() + timeoutMs;
  bool killed = false;
  while (open > 0) {
    long long left = deadline - NowMs();
    if (left <= 0 && !killed) {
      kill(child, SIGKILL);
      killed = true;
    }
    int ready = poll(fds, 2, left > 0 ? static_cast<int>(left) : 100);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status)) {
    result.exited = true;
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signalled = true;
    result.signal = WTERMSIG(status);
  }
  return result;
}

namespace {

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env) {
  char outTemplate[] = "/tmp/kelpora-child-out-XXXXXX";
  char errTemplate[] = "/tmp/kelpora-child-err-XXXXXX";
  int out = mkstemp(outTemplate);
  int err = mkstemp(errTemplate);
  if (out < 0 || err < 0) throw std::runtime_error("mkstemp failed");
  outPath_ = outTemplate;
  errPath_ = errTemplate;
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const auto& entry : env) putenv(const_cast<char*>(entry.c_str()));
    Exec(program, args);
  }
  close(out);
  close(err);
}

ChildProcess::~ChildProcess() {
  if (!reaped_) Wait(0);
  unlink(outPath_.c_str());
  unlink(errPath_.c_str());
}

bool ChildProcess::Running() {
  if (reaped_) return false;
  if (waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
  return !reaped_;
}

bool ChildProcess::WaitForOutput(const std::string& text, int timeoutMs) {
  long long deadline = NowMs() + timeoutMs;
  while (ReadWholeFile(outPath_).find(text) == std::string::npos) {
    if (!Running() || NowMs() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void ChildProcess::Signal(int signal) {
  if (!reaped_) kill(pid_, signal);
}

ProcessResult ChildProcess::Wait(int timeoutMs) {
  long long deadline = NowMs() + timeoutMs;
  while (Running() && NowMs() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    reaped_ = true;
  }
  ProcessResult result;
  if (WIFEXITED(status_)) {
    result.exited = true;
    result.status = WEXITSTATUS(status_);
  } else if (WIFSIGNALED(status_)) {
    result.signalled = true;
    result.signal = WTERMSIG(status_);
  }
  result.out = ReadWholeFile(outPath_);
  result.err = ReadWholeFile(errPath_);
  return result;
}

}  // namespace kelpora::testing
