#include "pulse_recorder.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace kelpora::audiotest {

long long MonotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

PulseRecorder::PulseRecorder(const std::string& sink, int latencyMs) {
  int fds[2];
  if (pipe(fds) != 0) return;
  const std::string device = sink + ".monitor";
  const std::string latency = "--latency-msec=" + std::to_string(latencyMs);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    execlp("parec", "parec", "-d", device.c_str(), "--raw", "--format=s16le", "--rate=44100",
           "--channels=2", latency.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  fd_ = fds[0];
  thread_ = std::thread([this] { Run(); });
}

PulseRecorder::~PulseRecorder() { Stop(); }

void PulseRecorder::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void PulseRecorder::Run() {
  char chunk[65536];
  for (pollfd p{fd_, POLLIN, 0}; poll(&p, 1, 5000) > 0;) {
    const ssize_t got = read(fd_, chunk, sizeof chunk);
    if (got <= 0) return;
    const long long now = MonotonicNs();
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_.insert(bytes_.end(), chunk, chunk + got);
    arrivals_.emplace_back(bytes_.size(), now);
  }
}

bool PulseRecorder::WaitStarted(int timeoutMs) const {
  for (int waited = 0; Frames() == 0; waited += 10) {
    if (waited >= timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

size_t PulseRecorder::Frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_.size() / 4;
}

std::vector<int16_t> PulseRecorder::Samples() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto* samples = reinterpret_cast<const int16_t*>(bytes_.data());
  return std::vector<int16_t>(samples, samples + bytes_.size() / 2);
}

std::optional<size_t> PulseRecorder::FirstLoudFrame(size_t from, int level) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto* samples = reinterpret_cast<const int16_t*>(bytes_.data());
  const size_t frames = bytes_.size() / 4;
  for (size_t i = from; i < frames; ++i)
    if (std::abs(samples[2 * i]) > level) return i;
  return std::nullopt;
}

const std::pair<size_t, long long>* PulseRecorder::ChunkOf(size_t offset) const {
  for (const auto& arrival : arrivals_)
    if (arrival.first > offset) return &arrival;
  return nullptr;
}

long long PulseRecorder::ArrivalNs(size_t frame) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto* chunk = ChunkOf(4 * frame);
  return chunk ? chunk->second : -1;
}

long long PulseRecorder::CapturedNs(size_t frame) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto* chunk = ChunkOf(4 * frame);
  if (!chunk) return -1;
  const double framesAfter = double(chunk->first / 4) - 1 - double(frame);
  return chunk->second - static_cast<long long>(framesAfter * 1e9 / 44100);
}

}  // namespace kelpora::audiotest
