// Channel handles and the voices behind them: generations, reuse of slots,
// starts on existing channels, and the voice pool staying bounded.
#include <gtest/gtest.h>

#include <vector>

#include "tests/audio/mixer_render.h"

namespace kelpora::testing {
namespace {

using Channels = OfflineMixer;

TEST_F(Channels, HandlesThatWereNeverHandedOutDoNotResolve) {
  pcmsample* pcm = Sample16(Constant(4, 100, 100), 2, 1);
  // Slot 0 is the free-list head; slot 4095 ends the free list; slot 5 was
  // never allocated. None of them may act as a channel.
  for (int handle : {4096, 4096 | 4095, 4096 | 5, 8192 | 5}) {
    EXPECT_EQ(audio_channelstate(handle), 0) << handle;
    int h = audio_play(pcm, 0, handle);
    EXPECT_NE(h, handle);
    EXPECT_EQ(audio_channelstate(h), VOICE_LOOPED);
  }
  EXPECT_EQ(audio_allocchannel() & 4095, 5);  // slots 1..4 went to the plays above
}

TEST_F(Channels, StaleHandlesNeverReachTheSlotsNewOwner) {
  pcmsample* pcm = Sample16(Constant(4, 1000, 1000), 2, 1);
  int stale = audio_allocchannel();
  EXPECT_EQ(stale, 8193);
  audio_freechannel(stale);
  int owner = audio_play(pcm, 0, 0);
  ASSERT_EQ(owner & 4095, stale & 4095);  // the same slot, a new generation
  ASSERT_NE(owner, stale);

  audio_setvolume(stale, 0);
  audio_stopchannel(stale);
  audio_pausechannel(stale, 1);
  audio_freechannel(stale);
  EXPECT_EQ(audio_channelstate(stale), 0);
  EXPECT_EQ(audio_channelstate(owner), VOICE_LOOPED);
  EXPECT_EQ(Pass()[0], 1000);

  // Starting on the stale handle opens a new channel beside the owner.
  int other = audio_play(pcm, 0, stale);
  EXPECT_NE(other, 0);
  EXPECT_NE(other, owner);
  EXPECT_NE(other, stale);
  EXPECT_EQ(audio_channelstate(owner), VOICE_LOOPED);
  EXPECT_EQ(Pass()[0], 2000);
  // The owner's slot was not put back on the free list.
  EXPECT_NE(audio_allocchannel() & 4095, owner & 4095);
}

TEST_F(Channels, StartingOnAChannelReplacesItsVoice) {
  pcmsample* pcm = Sample16(Constant(4, 1000, 1000), 2, 1);
  int h = audio_play(pcm, 0, 0);
  audio_setvolume(h, 0.5f);
  Pass();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(audio_play(pcm, 0, h), h);
    std::vector<int16_t> out = Pass();
    ASSERT_EQ(out[0], 500) << i;  // one voice, the channel's volume, no ramp
    ASSERT_EQ(audio_channelstate(h), VOICE_LOOPED);
  }
  EXPECT_LE(device->engine->voicecount(), 4);
  audio_stopchannel(h);  // acts on the newest voice
  Pass();
  EXPECT_EQ(Pass(), std::vector<int16_t>(2048, 0));
  EXPECT_EQ(audio_channelstate(h) & ~1, 0);
  // Every finished voice let go of the data.
  EXPECT_EQ(pcm->references.load(), 1);

  // A reserved channel keeps its settings for the first start on it.
  int reserved = audio_allocchannel();
  audio_setvolume(reserved, 0.25f);
  EXPECT_EQ(audio_play(pcm, 0, reserved), reserved);
  EXPECT_EQ(Pass()[0], 250);
}

TEST_F(Channels, StartsAndHaltsDoNotLeakVoices) {
  pcmsample* pcm = Sample16(Constant(4, 1, 1), 2, 1);
  for (int i = 0; i < 100000; ++i) {
    int h = audio_play(pcm, 0, 0);
    ASSERT_NE(h, 0) << i;
    audio_stopchannel(h);
    if (i % 1000 == 999) device->render(nullptr, 1024);
  }
  device->render(nullptr, 1024);
  device->render(nullptr, 1024);
  EXPECT_LE(device->engine->voicecount(), 2100);
  EXPECT_EQ(pcm->references.load(), 1);
}

TEST_F(Channels, AFullPendingRingRefusesTheStart) {
  pcmsample* pcm = Sample16(Constant(4, 1, 1), 2, 0);
  std::vector<int> handles;
  for (int i = 0; i < MIX_RING_SLOTS - 1; ++i) handles.push_back(audio_play(pcm, 0, 0));
  EXPECT_EQ(handles.back(), 4095 | 8192);
  int voices = device->engine->voicecount();
  EXPECT_EQ(audio_play(pcm, 0, 0), 0);
  EXPECT_EQ(audio_play(pcm, 0, handles[7]), 0);
  EXPECT_EQ(device->engine->voicecount(), voices);
  EXPECT_EQ(pcm->references.load(), MIX_RING_SLOTS);
  // Every accepted voice is mixed.
  std::vector<int16_t> out = Pass();
  EXPECT_EQ(out[0], MIX_RING_SLOTS - 1);
  EXPECT_EQ(out[8], 0);
}

}  // namespace
}  // namespace kelpora::testing
