#include "device_fifo.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace kelpora::testing {

DeviceFifo::DeviceFifo(const char* name) {
  char dir[] = "/tmp/kelpora-fifo-XXXXXX";
  if (!mkdtemp(dir)) return;
  directory_ = dir;
  path_ = directory_ + "/" + name;
  made_ = mkfifo(path_.c_str(), 0600) == 0;
}

DeviceFifo::~DeviceFifo() {
  CloseReader();
  if (directory_.empty()) return;
  unlink(path_.c_str());
  rmdir(directory_.c_str());
}

bool DeviceFifo::OpenReader(bool wait) {
  reader_ = open(path_.c_str(), wait ? O_RDONLY : O_RDONLY | O_NONBLOCK);
  return reader_ >= 0;
}

void DeviceFifo::CloseReader() {
  if (reader_ >= 0) close(reader_);
  reader_ = -1;
}

int DeviceFifo::Read(uint8_t* into, size_t size, int timeoutMs) {
  pollfd p{reader_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return -1;
  return static_cast<int>(read(reader_, into, size));
}

long DeviceFifo::Drain(int timeoutMs) {
  uint8_t chunk[65536];
  long total = 0;
  for (int got; (got = Read(chunk, sizeof chunk, timeoutMs)) != 0; total += got)
    if (got < 0) return -1;
  return total;
}

std::vector<uint8_t> DeviceFifo::ReadBytes(size_t count, int timeoutMs) {
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  while (bytes.size() < count) {
    pollfd p{reader_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) break;
    const ssize_t got = read(reader_, chunk, sizeof chunk);
    if (got > 0)
      bytes.insert(bytes.end(), chunk, chunk + got);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // no writer yet
  }
  return bytes;
}

void ExpectMixAfterSilence(const std::vector<uint8_t>& stream, size_t blockBytes,
                           const std::vector<int16_t>& expected) {
  size_t first = 0;
  while (first < stream.size() && stream[first] == 0) ++first;
  first -= first % blockBytes;
  ASSERT_LE(first + 2 * expected.size(), stream.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const uint16_t s = static_cast<uint16_t>(expected[i]);
    ASSERT_EQ(stream[first + 2 * i] | stream[first + 2 * i + 1] << 8, s) << i;
  }
}

}  // namespace kelpora::testing
