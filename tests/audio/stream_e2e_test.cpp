// A streamed track through ALSA's pulse plugin to a private PulseAudio
// server's null sink, recorded from its monitor: the program's thread is
// blocked for 1.5 s right after the start, and the recording still holds the
// whole track without a gap.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <vector>
#include <string>
#include <thread>

#include "process.h"
#include "pulse_session.h"

namespace kelpora::testing {
namespace {

// True when recorded frames from `at` are the track's frames, each sample
// within the few steps the sound server may add.
bool Matches(const Recording& rec, size_t at, const Recording& track, size_t from, size_t count) {
  if (at + count > rec.frames() || from + count > track.frames()) return false;
  for (size_t i = 0; i < count * 2; ++i)
    if (std::abs(int(rec.samples[at * 2 + i]) - int(track.samples[from * 2 + i])) > 24)
      return false;
  return true;
}

TEST(StreamedMusicEndToEnd, PlaysOnWithoutAGapWhileTheProgramThreadIsBlocked) {
  const std::string dir = ::testing::TempDir();
  const std::string wav = dir + "/stream_sweep.wav", ogg = dir + "/stream_sweep.ogg";
  const std::string raw = dir + "/stream_sweep.raw";
  // A rising sweep: every stretch of it is unlike every other.
  ASSERT_EQ(RunProcess("/usr/bin/sox", {"-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth",
                                        "4", "sine", "200-3000", "gain", "-6"})
                .status,
            0);
  ASSERT_EQ(RunProcess("/usr/bin/oggenc", {"-Q", "-o", ogg, wav}).status, 0);
  ASSERT_EQ(RunProcess("/usr/bin/oggdec", {"-Q", "-R", "-o", raw, ogg}).status, 0);
  Recording track;
  track.rate = 44100;
  std::ifstream in(raw, std::ios::binary);
  for (int16_t sample; in.read(reinterpret_cast<char*>(&sample), 2);) track.samples.push_back(sample);
  ASSERT_GT(track.frames(), size_t(3 * 44100));

  PulseSession pulse;
  pulse.StartRecording();
  ChildProcess probe(AUDIO_PROBE, {"stream", ogg}, pulse.Environment());
  ProcessResult result = probe.Wait(90000);
  // The recorder may lag behind the sink on a loaded machine.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  Recording rec = pulse.StopRecording();
  ASSERT_TRUE(result.exited) << result.err;
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("silent 0\n"), std::string::npos) << result.out;

  // The track's first 10 ms found, then followed 10 ms at a time. Where a
  // block does not follow on, the track is looked for again over the next
  // blocks: the recorded stretch in between is a gap heard (what a starved
  // stream leaves: the time the program was blocked). A loaded machine's
  // server may also drop a few milliseconds of its own; those are allowed.
  size_t at = 0;
  while (at < rec.frames() && !Matches(rec, at, track, 0, 441)) ++at;
  ASSERT_LT(at, rec.frames()) << "the track's start is not in the recording";
  long offset = long(at);  // recording frame of track frame 0
  long longestGap = 0;
  size_t frame = 0;
  while (frame + 441 <= track.frames()) {
    const long here = offset + long(frame);
    if (Matches(rec, size_t(here), track, frame, 441)) {
      frame += 441;
      continue;
    }
    bool found = false;
    for (size_t next = frame + 441; next < frame + 20 * 441 && next + 441 <= track.frames() && !found;
         next += 441)
      for (long r = here - 4410; r < here + 2 * 44100 && !found; ++r)
        if (r >= 0 && Matches(rec, size_t(r), track, next, 441)) {
          longestGap = std::max(longestGap, r - here);
          offset = r - long(next);
          frame = next;
          found = true;
        }
    if (!found) {
      ASSERT_GE(frame + 20 * 441, track.frames())
          << "the track is lost at " << frame * 1000.0 / 44100 << " ms";
      break;
    }
  }
  EXPECT_LE(longestGap * 1000.0 / 44100, 50) << "a gap in the recording";
}

}  // namespace
}  // namespace kelpora::testing
