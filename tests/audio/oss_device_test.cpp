// The OSS device writing to a FIFO that the test reads: block size and byte
// layout, and how `close` behaves before the device opened, while it plays,
// and when a write never returns. Without any device the program goes on.
#include "audio/oss_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "tests/audio/device_fifo.h"
#include "tests/audio/test_signal.h"

namespace kelpora::testing {
namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

class OssFifo : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(fifo.made()); }
  void TearDown() override {
    fifo.CloseReader();
    audio_close();
  }
  void Open() {
    ASSERT_EQ(audio_open(std::unique_ptr<audiodevice>(new linuxaudio(fifo.path()))), 0);
  }
  // Opens the reading end; returns once the output thread opened its end.
  void OpenReader() { fifo.OpenReader(true); }
  // One read of at most a block; 0 at the end, -1 after `timeoutMs` of nothing.
  int Read(uint8_t* block, int timeoutMs = 10000) {
    return fifo.Read(block, linuxaudio::BUFFER_LENGTH, timeoutMs);
  }

  DeviceFifo fifo{"dsp"};
};

TEST_F(OssFifo, WritesWholeLittleEndianBlocksLeftFirst) {
  Open();
  OpenReader();
  std::vector<int16_t> chirp = Chirp();
  pcmsample* pcm = audio_newsample(CHIRP_FRAMES, 16, 2, 44100, chirp.data(), 0);

  // The same start rendered offline, one block per pass.
  std::vector<int16_t> expected = OfflineChirpPasses(pcm, 8);

  PlayChirp(pcm);
  std::vector<uint8_t> stream;
  uint8_t block[linuxaudio::BUFFER_LENGTH];
  for (int blocks = 0; blocks < 40; ++blocks) {
    ASSERT_EQ(Read(block), linuxaudio::BUFFER_LENGTH);
    stream.insert(stream.end(), block, block + sizeof block);
  }
  // Silence until the pass that took the voice, then exactly the offline mix.
  ASSERT_NO_FATAL_FAILURE(ExpectMixAfterSilence(stream, linuxaudio::BUFFER_LENGTH, expected));
  // Left first: the left side of the chirp starts at sin(0), the right does not.
  EXPECT_EQ(expected[0], 0);
  EXPECT_NE(expected[1], 0);

  // Close waits for the thread to close the device: it gives up only on a
  // write that never returns.
  std::thread drain([&] { EXPECT_GE(fifo.Drain(10000), 0); });
  auto* device = static_cast<linuxaudio*>(audio_device());
  device->close();
  EXPECT_TRUE(device->finished()) << "close gave up on a thread that was ending";
  audio_close();
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
  EXPECT_EQ(fifo.Drain(10000), 0);
}

TEST_F(OssFifo, CloseGivesUpOnAWriteThatNeverReturns) {
  Open();
  OpenReader();  // never read: the FIFO fills and the write blocks
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto* device = static_cast<linuxaudio*>(audio_device());
  auto t = Clock::now();
  audio_close();
  EXPECT_GE(MsSince(t), 4900) << "gave up before its time";
  // The thread, still in its write, holds the device until it ends.
  EXPECT_FALSE(device->finished()) << "close waited for the write instead of giving up";
  EXPECT_GT(fifo.Drain(10000), 0);  // then the thread finishes its write and ends
}

TEST_F(OssFifo, AReaderThatGoesAwayEndsTheThreadNotTheProcess) {
  auto* device = new linuxaudio(fifo.path());
  device->open();
  OpenReader();
  fifo.CloseReader();  // the next write fails with a broken pipe
  for (int i = 0; i < 3000 && !device->finished(); ++i)
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
