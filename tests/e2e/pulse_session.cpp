#include "pulse_session.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <utility>

namespace kelpora::testing {

namespace {

const char* const SINK = "kelpora";

// Little-endian field of `size` bytes at `at`.
uint32_t Field(const std::string& bytes, size_t at, int size) {
  uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

}  // namespace

Recording ReadWav(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Recording recording;
  if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0)
    return recording;
  bool stereo16 = false;
  for (size_t at = 12; at + 8 <= bytes.size();) {
    std::string tag = bytes.substr(at, 4);
    size_t size = Field(bytes, at + 4, 4);
    at += 8;
    if (tag == "fmt " && at + 16 <= bytes.size()) {
      stereo16 = Field(bytes, at, 2) == 1 && Field(bytes, at + 2, 2) == 2 &&
                 Field(bytes, at + 14, 2) == 16;
      recording.rate = static_cast<int>(Field(bytes, at + 4, 4));
    } else if (tag == "data") {
      if (!stereo16) break;
      size_t end = size == 0 || size > bytes.size() - at ? bytes.size() : at + size;
      recording.samples.resize((end - at) / 4 * 2);
      std::memcpy(recording.samples.data(), bytes.data() + at, recording.samples.size() * 2);
      break;
    }
    at += size + (size & 1);
  }
  return recording;
}

void WriteWav(const std::string& path, const Recording& recording, size_t from, size_t count) {
  from = std::min(from, recording.frames());
  count = std::min(count, recording.frames() - from);
  std::ofstream out(path, std::ios::binary);
  auto put = [&](uint32_t value, int size) {
    for (int i = 0; i < size; ++i) out.put(static_cast<char>(value >> (8 * i)));
  };
  uint32_t bytes = static_cast<uint32_t>(count * 4), rate = static_cast<uint32_t>(recording.rate);
  out.write("RIFF", 4);
  put(36 + bytes, 4);
  out.write("WAVEfmt ", 8);
  for (auto [value, size] :
       {std::pair{16u, 4}, {1u, 2}, {2u, 2}, {rate, 4}, {rate * 4, 4}, {4u, 2}, {16u, 2}})
    put(value, size);
  out.write("data", 4);
  put(bytes, 4);
  out.write(reinterpret_cast<const char*>(recording.samples.data() + from * 2),
            static_cast<std::streamsize>(bytes));
}

PulseSession::PulseSession() {
  char dirTemplate[] = "/tmp/kelpora-pulse-XXXXXX";
  if (!mkdtemp(dirTemplate)) throw std::runtime_error("mkdtemp failed");
  dir_ = dirTemplate;
  std::string sink = std::string("--load=module-null-sink sink_name=") + SINK +
                     " rate=44100 channels=2 format=s16le";
  server_ = std::make_unique<ChildProcess>(
      "/usr/bin/pulseaudio",
      std::vector<std::string>{"--daemonize=no", "--exit-idle-time=-1", "--system=false", "-n",
                               "--log-target=stderr", sink,
                               "--load=module-native-protocol-unix auth-anonymous=1"},
      std::vector<std::string>{"XDG_RUNTIME_DIR=" + dir_, "HOME=" + dir_});
  for (int wait = 0; wait < 200 && server_->Running(); ++wait) {
    if (std::filesystem::exists(dir_ + "/pulse/native")) {
      ProcessResult info =
          RunProcess("/usr/bin/env", {"XDG_RUNTIME_DIR=" + dir_, "HOME=" + dir_, "pactl", "info"});
      if (info.exited && info.status == 0) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("could not start a private PulseAudio server");
}

PulseSession::~PulseSession() {
  if (recorder_) StopRecording();
  server_->Signal(SIGTERM);
  server_->Wait(5000);
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::string> PulseSession::Environment() const {
  return {"XDG_RUNTIME_DIR=" + dir_, "PULSE_SERVER=unix:" + dir_ + "/pulse/native"};
}

std::vector<std::string> PulseSession::OssEnvironment() const {
  std::string asan =
      "verify_asan_link_order=0";  // the preload comes before the sanitizer's runtime
  if (const char* options = std::getenv("ASAN_OPTIONS")) asan = std::string(options) + ":" + asan;
  return {"XDG_RUNTIME_DIR=" + dir_, "PULSE_SERVER=unix:" + dir_ + "/pulse/native",
          "LD_PRELOAD=/usr/lib/x86_64-linux-gnu/pulseaudio/libpulsedsp.so", "ASAN_OPTIONS=" + asan};
}

void PulseSession::StartRecording() {
  recorder_ = std::make_unique<ChildProcess>(
      "/usr/bin/parec",
      std::vector<std::string>{"-d", std::string(SINK) + ".monitor", "--latency-msec=20",
                               "--rate=44100", "--channels=2", "--format=s16le",
                               "--file-format=wav", dir_ + "/recording.wav"},
      std::vector<std::string>{"XDG_RUNTIME_DIR=" + dir_, "HOME=" + dir_});
}

Recording PulseSession::StopRecording() {
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // what is still on its way
  recorder_->Signal(SIGINT);
  recorder_->Wait(5000);
  recorder_.reset();
  return ReadWav(dir_ + "/recording.wav");
}

}  // namespace kelpora::testing
