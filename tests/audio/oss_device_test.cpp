// The OSS device writing to a FIFO that the test reads: block size and byte
// layout, and how `close` behaves before the device opened, while it plays,
// and when a write never returns. Without any device the program goes on.
#include "audio/oss_device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "tests/audio/test_signal.h"

namespace kelpora::testing {
namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

class OssFifo : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/kelpora-dsp-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    directory = dir;
    path = directory + "/dsp";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  }
  void TearDown() override {
    if (reader >= 0) close(reader);
    audio_close();
    unlink(path.c_str());
    rmdir(directory.c_str());
  }
  void Open() { ASSERT_EQ(audio_open(std::unique_ptr<audiodevice>(new linuxaudio(path))), 0); }
  // Opens the reading end; returns once the output thread opened its end.
  void OpenReader() { reader = open(path.c_str(), O_RDONLY); }
  // One read of at most a block; 0 at the end, -1 after `timeoutMs` of nothing.
  int Read(uint8_t* block, int timeoutMs = 2000) {
    pollfd p{reader, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return -1;
    return static_cast<int>(read(reader, block, linuxaudio::BUFFER_LENGTH));
  }
  // Reads to the end of the stream; the number of bytes, or -1 if it never ends.
  long Drain(int timeoutMs = 3000) {
    uint8_t block[linuxaudio::BUFFER_LENGTH];
    long total = 0;
    for (int got; (got = Read(block, timeoutMs)) != 0; total += got)
      if (got < 0) return -1;
    return total;
  }

  std::string directory, path;
  int reader = -1;
};

TEST_F(OssFifo, WritesWholeLittleEndianBlocksLeftFirst) {
  Open();
  OpenReader();
  std::vector<int16_t> chirp = Chirp();
  pcmsample* pcm = audio_newsample(CHIRP_FRAMES, 16, 2, 44100, chirp.data(), 0);

  // The same start rendered offline, one block per pass.
  mixer reference(2048);
  reference.outputRate = MIX_OUTPUT_RATE;
  sound* voice = reference.start(pcm, nullptr, VOICE_ONCE | VOICE_PAUSED);
  voice->setvolume(static_cast<int16_t>(0.7f * 4096));
  voice->pause(false);
  std::vector<int16_t> expected(2048 * 8);
  for (int i = 0; i < 8; ++i) reference.mix(&expected[2048 * i]);

  PlayChirp(pcm);
  std::vector<uint8_t> stream;
  uint8_t block[linuxaudio::BUFFER_LENGTH];
  for (int blocks = 0; blocks < 40; ++blocks) {
    ASSERT_EQ(Read(block), linuxaudio::BUFFER_LENGTH);
    stream.insert(stream.end(), block, block + sizeof block);
  }
  // Silence until the pass that took the voice, then exactly the offline mix.
  size_t first = 0;
  while (first < stream.size() && stream[first] == 0) ++first;
  first -= first % linuxaudio::BUFFER_LENGTH;
  ASSERT_LE(first + 8 * 4096, stream.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    uint16_t s = static_cast<uint16_t>(expected[i]);
    ASSERT_EQ(stream[first + 2 * i], s & 0xFF) << i;
    ASSERT_EQ(stream[first + 2 * i + 1], s >> 8) << i;
  }
  // Left first: the left side of the chirp starts at sin(0), the right does not.
  EXPECT_EQ(expected[0], 0);
  EXPECT_NE(expected[1], 0);

  // Close returns as soon as the thread has closed the device.
  std::thread drain([&] { EXPECT_GE(Drain(), 0); });
  auto t = Clock::now();
  audio_close();
  EXPECT_LT(MsSince(t), 2000);  // generous: a loaded machine must not fail it
  drain.join();
  audio_releasesample(pcm);
}

TEST_F(OssFifo, CloseBeforeTheDeviceOpenedStopsTheThreadToo) {
  Open();  // nobody reads yet, so the thread waits in its open
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto t = Clock::now();
  audio_close();
  EXPECT_LT(MsSince(t), 5000) << "waited for an open that nobody answers";
  // Once the open goes through, the thread ends without playing on.
  OpenReader();
  EXPECT_EQ(Drain(), 0);
}

TEST_F(OssFifo, CloseGivesUpOnAWriteThatNeverReturns) {
  Open();
  OpenReader();  // never read: the FIFO fills and the write blocks
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto t = Clock::now();
  audio_close();
  double waited = MsSince(t);
  EXPECT_GE(waited, 4900);
  EXPECT_LE(waited, 5500);
  EXPECT_GT(Drain(), 0);  // then the thread finishes its write and ends
}

TEST_F(OssFifo, AReaderThatGoesAwayEndsTheThreadNotTheProcess) {
  auto* device = new linuxaudio(path);
  device->open();
  OpenReader();
  close(reader);  // the next write fails with a broken pipe
  reader = -1;
  for (int i = 0; i < 200 && !device->finished(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(device->finished());  // ended, not spinning on failed writes
  EXPECT_FALSE(device->deviceopen());
  device->close();
  device->dispose();
}

TEST(OssDevice, WithoutADeviceSaysSoOnceAndGoesOn) {
  ProcessResult r = RunProcess(AUDIO_PROBE, {"nodevice"});
  ASSERT_TRUE(r.exited) << r.err;
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("linuxaudio failed\nwent on\nclosed in ", 0), 0u) << r.out;
}

}  // namespace
}  // namespace kelpora::testing
