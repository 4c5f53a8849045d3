// Voices crossing between the program thread and a real output thread: the
// rings lose none, the pool stays bounded, and every reference taken by a
// start is given back. Also built with ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>
#include <vector>

#include "audio/oss_device.h"
#include "audio/software_mixer.h"

namespace kelpora {
namespace {

// Waits up to `seconds` for `done`.
template <typename F>
bool WaitFor(F done, int seconds) {
  for (int i = 0; i < seconds * 1000 && !done(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

TEST(MixerRings, TenMillionVoicesThroughTheOutputThread) {
  const long total = std::getenv("KELPORA_RING_VOICES")
                         ? std::atol(std::getenv("KELPORA_RING_VOICES"))
                         : 10000000L;
  // /dev/null never blocks, so the thread runs pass after pass.
  auto* device = new linuxaudio("/dev/null");
  ASSERT_EQ(device->open(), 0);
  ASSERT_TRUE(WaitFor([&] { return device->deviceopen(); }, 5));
  pcmsample* once = pcmsample_create(1, 16, 2, 44100, 0);
  pcmsample* looped = pcmsample_create(3, 8, 1, 22050, 1);
  sound* held = device->play(looped, nullptr, 0);  // a voice that stays linked
  ASSERT_NE(held, nullptr);

  long started = 0, refused = 0;
  while (started < total) {
    sound* voice = device->play(once, nullptr, started % 3 == 0 ? 16 : 0);
    if (!voice) {
      ++refused;
      std::this_thread::yield();
      continue;
    }
    if (started % 3 == 0) voice->pause(false);
    if (started % 5 == 0) voice->setvolume(100);
    ++started;
  }
  // Every started voice holds a reference until the thread recycles it.
  EXPECT_TRUE(WaitFor([&] { return once->references.load() == 1; }, 60))
      << once->references.load() << " references left";
  held->stop();
  EXPECT_TRUE(WaitFor([&] { return looped->references.load() == 1; }, 5));
  // Bounded by what can be in flight at once (pending ring, a few passes'
  // worth of linked voices, the free ring), not by the number of starts.
  EXPECT_LE(device->engine->voicecount(), 8 * MIX_RING_SLOTS);
  device->close();
  EXPECT_TRUE(device->finished());
  device->dispose();
  pcmsample_release(once);
  pcmsample_release(looped);
  RecordProperty("refused_starts", static_cast<int>(refused));
}

TEST(MixerRings, MoreFinishedVoicesThanTheFreeRingHoldsAreKept) {
  mixer m(2048);
  m.outputRate = MIX_OUTPUT_RATE;
  pcmsample* pcm = pcmsample_create(4, 16, 2, 44100, 1);
  std::vector<sound*> voices;
  for (int batch = 0; batch < 3; ++batch) {
    for (int i = 0; i < MIX_RING_SLOTS - 1; ++i) voices.push_back(m.start(pcm, nullptr, 4));
    m.mix(nullptr);
  }
  ASSERT_EQ(m.voicecount(), 3 * (MIX_RING_SLOTS - 1));
  for (sound* v : voices) v->stop();
  m.mix(nullptr);                        // stopped: marked free
  m.mix(nullptr);                        // the free ring takes 4095, the rest wait linked
  EXPECT_EQ(pcm->references.load(), 1);  // none of them holds the data any more
  // Taking voices makes room; the waiting ones come back on later passes.
  std::vector<sound*> back;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < MIX_RING_SLOTS - 1; ++i) back.push_back(m.takevoice(nullptr));
    m.mix(nullptr);
  }
  EXPECT_EQ(m.voicecount(), 3 * (MIX_RING_SLOTS - 1));
  std::sort(back.begin(), back.end());
  EXPECT_EQ(std::unique(back.begin(), back.end()), back.end());
  pcmsample_release(pcm);
}

// Frame k of a test stream: k in the left half of the frame, its complement in the right.
void PutFrame(int16_t* at, uint32_t k) {
  at[0] = static_cast<int16_t>(k & 0x7fff);
  at[1] = static_cast<int16_t>(~k & 0x7fff);
}

// Refills of 1 to 31 frames from another thread, read back in pieces of other sizes.
TEST(StreamRing, AMillionRefillsArriveInOrderAndWhole) {
  constexpr int REFILLS = 1000000;
  streamring ring(4096);
  std::thread writer([&] {
    uint32_t k = 0;
    for (int refill = 0; refill < REFILLS; ++refill) {
      const int want = 1 + refill % 31;
      int room = 0;
      int16_t* at = ring.writeregion(room);
      while (room == 0) {
        std::this_thread::yield();
        at = ring.writeregion(room);
      }
      const int n = std::min(want, room);
      for (int i = 0; i < n; ++i) PutFrame(at + 2 * i, k++);
      ring.publish(n);
    }
    ring.finish();
  });
  uint32_t expected = 0;
  std::vector<int16_t> piece(2 * 200);
  int mismatches = 0;
  for (int round = 0;; ++round) {
    const bool finished = ring.finished();
    const int ready = ring.readable();
    if (ready == 0 && finished) break;
    const int n = std::min(ready, 1 + round % 200);
    if (n == 0) {
      std::this_thread::yield();
      continue;
    }
    ring.copy(piece.data(), 0, n);
    for (int i = 0; i < n; ++i, ++expected) {
      int16_t want[2];
      PutFrame(want, expected);
      mismatches += piece[2 * i] != want[0] || piece[2 * i + 1] != want[1];
    }
    ring.consume(n);
  }
  writer.join();
  EXPECT_EQ(mismatches, 0);
  // Refills cut short by a full ring still count: at least one frame each.
  EXPECT_GE(expected, uint32_t{REFILLS});
}

// A streamed voice mixed by a real output thread while another thread fills
// its ring: every frame is played, then the voice ends and lets go.
TEST(StreamRing, AStreamedVoiceDrainsItsRingOnTheOutputThread) {
  auto* device = new linuxaudio("/dev/null");
  ASSERT_EQ(device->open(), 0);
  ASSERT_TRUE(WaitFor([&] { return device->deviceopen(); }, 5));
  pcmsample* pcm = pcmsample_createstream(44100, 8192);
  sound* voice = device->play(pcm, nullptr, 0);
  ASSERT_NE(voice, nullptr);
  std::thread writer([&] {
    uint32_t k = 0;
    for (int refill = 0; refill < 100000; ++refill) {
      int room = 0;
      int16_t* at = pcm->ring->writeregion(room);
      while (room == 0) {
        std::this_thread::yield();
        at = pcm->ring->writeregion(room);
      }
      const int n = std::min(1 + refill % 63, room);
      for (int i = 0; i < n; ++i) PutFrame(at + 2 * i, k++);
      pcm->ring->publish(n);
    }
    pcm->ring->finish();
  });
  writer.join();
  EXPECT_TRUE(WaitFor([&] { return pcm->references.load() == 1; }, 60));
  EXPECT_EQ(pcm->ring->readable(), 0);
  device->close();
  device->dispose();
  pcmsample_release(pcm);
}

}  // namespace
}  // namespace kelpora
