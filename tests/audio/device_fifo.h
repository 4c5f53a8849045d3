// What the device tests read: a FIFO in a folder of its own that a device
// writes to, its reading end, and the check of the bytes that came through it
// against the mix rendered offline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelpora::testing {

class DeviceFifo {
 public:
  // Makes /tmp/kelpora-fifo-XXXXXX/`name`; made() says whether it worked.
  explicit DeviceFifo(const char* name);
  // Closes the reading end, removes the FIFO and its folder.
  ~DeviceFifo();
  DeviceFifo(const DeviceFifo&) = delete;
  DeviceFifo& operator=(const DeviceFifo&) = delete;

  bool made() const { return made_; }
  const std::string& path() const { return path_; }

  // Opens the reading end. A waiting open returns once a writer opened its
  // end; otherwise it returns at once and reads find nothing until one does.
  bool OpenReader(bool wait);
  void CloseReader();
  // One read of at most `size` bytes: 0 at the end of the stream, -1 after
  // `timeoutMs` with nothing to read.
  int Read(uint8_t* into, size_t size, int timeoutMs);
  // Reads to the end of the stream; the number of bytes, or -1 when
  // `timeoutMs` pass with nothing to read.
  long Drain(int timeoutMs);
  // Reads until `count` bytes came, waiting for a writer to open; fewer if
  // `timeoutMs` pass with nothing to read.
  std::vector<uint8_t> ReadBytes(size_t count, int timeoutMs);

 private:
  std::string directory_, path_;
  bool made_ = false;
  int reader_ = -1;
};

// Expects `stream` to be silence up to a block boundary, then `expected` (the
// offline mix, interleaved left and right), each sample low byte first.
void ExpectMixAfterSilence(const std::vector<uint8_t>& stream, size_t blockBytes,
                           const std::vector<int16_t>& expected);

}  // namespace kelpora::testing
