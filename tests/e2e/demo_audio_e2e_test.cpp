// What the demo plays, heard end to end: the real demo on a private X server
// writes to "/dev/dsp" through PulseAudio's OSS emulation into a null sink
// whose monitor is recorded and compared with the decoded music tracks.
#include <X11/keysym.h>
#include <gtest/gtest.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <thread>

#include "audio/loaders/ogg_loader.h"
#include "pixmap/loaders/jpeg_loader.h"
#include "pixmap/loaders/pixmap_loader.h"
#include "process.h"
#include "pulse_session.h"
#include "runtime/text.h"
#include "stream/stream.h"
#include "x_session.h"

using namespace kelpora;
using namespace kelpora::testing;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int RATE = 44100;
constexpr size_t BLOCK = 441;  // frames compared at a time: 10 ms
// The sanitizer build draws several times slower, keeps freed memory in
// quarantine and checks for leaks at exit: time and memory limits are for the
// plain build.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

double MsSince(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

double MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string AssetPath(const char* name) {
  return std::string(SOURCE_ROOT) + "/game/assets/" + name;
}

// The track as 16-bit stereo, decoded by vorbisfile the way the demo asks for it.
Recording DecodeTrack(const char* name) {
  Recording track;
  OggVorbis_File vf;
  if (ov_fopen(AssetPath(name).c_str(), &vf) != 0) return track;
  track.rate = static_cast<int>(ov_info(&vf, -1)->rate);
  track.samples.resize(static_cast<size_t>(ov_pcm_total(&vf, -1)) * 2);
  size_t bytes = track.samples.size() * 2, done = 0;
  int section = 0;
  while (done < bytes) {
    long got = ov_read(&vf, reinterpret_cast<char*>(track.samples.data()) + done,
                       static_cast<int>(std::min<size_t>(bytes - done, 65536)), 0, 2, 1, &section);
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  ov_clear(&vf);
  track.samples.resize(done / 2);
  return track;
}

// True when recorded frames [at, at + count) are the track's frames from
// `from` on, within the few steps the sound server may add.
bool Matches(const Recording& rec, long at, const Recording& track, long from, size_t count) {
  if (at < 0 || from < 0 || size_t(at) + count > rec.frames() ||
      size_t(from) + count > track.frames())
    return false;
  const int16_t* a = &rec.samples[size_t(at) * 2];
  const int16_t* b = &track.samples[size_t(from) * 2];
  for (size_t i = 0; i < count * 2; ++i)
    if (std::abs(int(a[i]) - int(b[i])) > 24) return false;
  return true;
}

// The first frame louder than a quiet hiss, or the frame count when none is.
size_t FirstLoudFrame(const Recording& rec, size_t from = 0) {
  for (size_t i = from * 2; i < rec.samples.size(); ++i)
    if (std::abs(int(rec.samples[i])) > 256) return i / 2;
  return rec.frames();
}

// The recording offset (recording frame minus track frame) at which the track's
// frames from `trackFrame` on appear within recorded frames [from, to).
long FindTrack(const Recording& rec, const Recording& track, size_t trackFrame, long from,
               long to) {
  for (long at = std::max(0L, from); at < to; ++at)
    if (Matches(rec, at, track, long(trackFrame), BLOCK * 4)) return at - long(trackFrame);
  return -1;
}

struct Following {
  long endFrame = 0;        // the recorded frame after the last one that matched
  double longestGapMs = 0;  // longest stretch between matching blocks
  long offset = 0;          // recording frame minus track frame at the end
};

// Follows the track through the recording from `start`, block by block, until
// `limit` or until it cannot be found again within 200 ms: a gap (the output
// falling behind) shifts it later, a glitch leaves blocks that do not match.
Following Follow(const Recording& rec, const Recording& track, long offset, long start,
                 long limit) {
  Following f{start, 0, offset};
  long at = start;
  while (at + long(BLOCK) <= limit) {
    if (Matches(rec, at, track, at - f.offset, BLOCK)) {
      f.longestGapMs = std::max(f.longestGapMs, (at - f.endFrame) * 1000.0 / RATE);
      at += long(BLOCK);
      f.endFrame = at;
      continue;
    }
    bool found = false;
    for (long next = at + long(BLOCK); next < at + RATE / 5 && !found; next += long(BLOCK))
      for (long shift = -1024; shift <= RATE / 5 && !found; ++shift)
        if (Matches(rec, next, track, next - f.offset - shift, BLOCK * 2)) {
          f.offset += shift;
          at = next;
          found = true;
        }
    if (!found) break;
  }
  return f;
}

Ref<TPixmap> LoadAsset(const char* name) {
  InitStreamModule();
  InitJpegLoader();
  return LoadPixmap(FromBytes(AssetPath(name)));
}

// Mean difference per channel between a band of the screen and the same rows
// of a full-screen picture.
double Difference(const Shot& band, int top, const Ref<TPixmap>& picture) {
  double sum = 0;
  for (int y = 0; y < band.height; ++y)
    for (int x = 0; x < band.width; ++x) {
      uint32_t colour = picture->PixelAt(x, top + y);
      const uint8_t* screen = band.At(x, y);
      sum += std::abs(int(screen[0]) - int((colour >> 16) & 0xFF)) +
             std::abs(int(screen[1]) - int((colour >> 8) & 0xFF)) +
             std::abs(int(screen[2]) - int(colour & 0xFF));
    }
  return sum / (band.width * band.height * 3.0);
}

// How far the credits line moved left between two shots of its band.
int CreditsShift(const Shot& before, const Shot& after) {
  int best = -1;
  double bestDifference = 1e9;
  for (int shift = 0; shift <= 160; ++shift) {
    double sum = 0;
    for (int y = 0; y < before.height; ++y)
      for (int x = 0; x + shift < before.width; ++x)
        sum += std::abs(int(after.At(x, y)[0]) - int(before.At(x + shift, y)[0]));
    sum /= before.width - shift;
    if (sum < bestDifference) {
      bestDifference = sum;
      best = shift;
    }
  }
  return best;
}

// Processor time of each thread of `pid` in nanoseconds (the scheduler's own
// account, finer than clock ticks), with the thread's id and name.
std::vector<std::pair<std::string, long long>> ThreadTimes(int pid) {
  std::vector<std::pair<std::string, long long>> times;
  std::string task = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(task, error)) {
    std::ifstream comm(entry.path() / "comm"), schedstat(entry.path() / "schedstat");
    std::string name;
    long long ns = 0;
    if (std::getline(comm, name) && schedstat >> ns)
      times.emplace_back(entry.path().filename().string() + " " + name, ns);
  }
  return times;
}

long ResidentKb(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

class DemoAudioTest : public ::testing::Test {
 protected:
  void Start(const std::vector<std::string>& env) {
    logo = LoadAsset("intro/logo-tamo.jpg");
    title = LoadAsset("intro/introtitre.jpg");
    ASSERT_TRUE(logo && title);
    std::vector<std::string> all = env;
    all.push_back("DISPLAY=" + x.displayName());
    started = Clock::now();
    demo = std::make_unique<ChildProcess>(KELPORA_DEMO, std::vector<std::string>{}, all);
  }

  bool IsLogo() { return Difference(x.Grab(0, 200, 640, 16), 200, logo) < 3.0; }
  bool IsTitle() { return Difference(x.Grab(0, 200, 640, 16), 200, title) < 3.0; }
  // "LEVEL 1" of the loading screen, or the level's quit hint: white text
  // where the title and the logo have none.
  bool ShowsWhiteAt(int left, int top, int width, int height) {
    Shot band = x.Grab(left, top, width, height);
    for (int y = 0; y < height; ++y)
      for (int column = 0; column < width; ++column)
        if (band.At(column, y)[0] == 255 && band.At(column, y)[1] == 255 &&
            band.At(column, y)[2] == 255)
          return true;
    return false;
  }
  bool IsLoading() { return !IsTitle() && ShowsWhiteAt(290, 20, 56, 16); }
  bool IsLevel() {
    return !IsTitle() && ShowsWhiteAt(10, 450, 208, 16) && ShowsWhiteAt(10, 30, 48, 16);
  }

  // Polls until `wanted` holds and answers when it first did.
  Clock::time_point WaitFor(const std::function<bool()>& wanted, int timeoutMs) {
    auto start = Clock::now();
    while (!wanted()) {
      if (MsSince(start) > timeoutMs || !demo->Running()) {
        ADD_FAILURE() << "timed out";
        break;
      }
      SleepMs(2);
    }
    return Clock::now();
  }

  // The pace of the credits over three half seconds, in frames per second
  // (2 pixels a frame), once they have entered from the right.
  double TitleScrollRate() {
    SleepMs(1800);
    double frames = 0, ms = 0;
    for (int i = 0; i < 3; ++i) {
      auto t0 = Clock::now();
      Shot before = x.Grab(0, 446, 640, 16);
      SleepMs(500);
      auto t1 = Clock::now();
      Shot after = x.Grab(0, 446, 640, 16);
      frames += CreditsShift(before, after) / 2.0;
      ms += MsBetween(t0, t1);
    }
    std::printf("[ figures ] title scroll: %.1f frames per second\n", frames * 1000 / ms);
    return frames * 1000 / ms;
  }

  // Presses Escape in the level and answers how long the demo took to end.
  double QuitFromTheLevel(ProcessResult& result) {
    auto pressed = Clock::now();
    x.TapKey(XK_Escape);
    while (demo->Running() && MsSince(pressed) < 10000) SleepMs(1);
    double ms = MsSince(pressed);
    result = demo->Wait(1000);
    return ms;
  }

  XSession x;
  Ref<TPixmap> logo, title;
  std::unique_ptr<ChildProcess> demo;
  Clock::time_point started;
};

TEST_F(DemoAudioTest, TitleMusicThenLevelMusicWithoutGapsAndEscapeQuitsAtOnce) {
  Recording titleTrack = DecodeTrack("intro/intromusic.ogg");
  Recording levelTrack = DecodeTrack("DATAS/music-level1.ogg");
  ASSERT_GT(titleTrack.frames(), size_t(170 * RATE));
  ASSERT_GT(levelTrack.frames(), size_t(360 * RATE));

  // What decoding the title music costs here and now, with the demo's own loader.
  InitStreamModule();
  InitOggLoader();
  auto decodeStart = Clock::now();
  ASSERT_TRUE(LoadSample(FromBytes(AssetPath("intro/intromusic.ogg"))));
  double decodeMs = MsSince(decodeStart);

  PulseSession pulse;
  pulse.StartRecording();
  SleepMs(300);
  Start(pulse.OssEnvironment());

  auto logoSeen = WaitFor([&] { return IsLogo(); }, 30000);
  SleepMs(500);
  long logoKb = ResidentKb(demo->pid());
  auto titleSeen = WaitFor([&] { return IsTitle(); }, 30000);
  // The logo shows for 100 frames (1667 ms); what the title takes beyond that is
  // the loading of its music and picture: about the decoding of the music (the
  // clip tests hold the load to that in processor time; wall time on a shared
  // machine is only reported).
  double stallMs = MsBetween(logoSeen, titleSeen) - 1667;
  std::printf(
      "[ figures ] first logo frame %.0f ms, first title frame %.0f ms after start: the title "
      "comes %.0f ms after the logo's 100 frames; the title music decodes in %.0f ms\n",
      MsBetween(started, logoSeen), MsBetween(started, titleSeen), stallMs, decodeMs);

  // The scroll keeps its pace while the music plays (2 pixels a frame at 60 Hz;
  // the bound leaves room for a machine shared with other tests).
  EXPECT_GE(TitleScrollRate(), kSanitized ? 15 : 40);

  auto escapeAt = Clock::now();
  x.TapKey(XK_Escape);
  auto loadingSeen = WaitFor([&] { return IsLoading(); }, 30000);
  auto levelSeen = WaitFor([&] { return IsLevel(); }, 30000);
  std::printf(
      "[ figures ] level loading (Escape to the first level frame) %.0f ms, loading screen "
      "seen for %.0f ms\n",
      MsBetween(escapeAt, levelSeen), MsBetween(loadingSeen, levelSeen));

  SleepMs(500);
  auto cpuBefore = ThreadTimes(demo->pid());
  auto cpuFrom = Clock::now();
  long residentKb = ResidentKb(demo->pid());
  SleepMs(10500);
  auto cpuAfter = ThreadTimes(demo->pid());
  double seconds = MsSince(cpuFrom) / 1000.0;
  std::printf("[ figures ] resident memory in the level %ld kB\n", residentKb);
  for (const auto& [name, ns] : cpuAfter)
    for (const auto& [earlier, before] : cpuBefore)
      if (name == earlier)
        std::printf("[ figures ] thread %s: %.2f%% of a processor during the level\n", name.c_str(),
                    100.0 * double(ns - before) / 1e9 / seconds);
  // The two tracks as 16-bit stereo take 97.1 MB, held once. Without music the
  // level needs about 22 MB more than the logo (its pictures and textures).
  const double pcmKb = (titleTrack.samples.size() + levelTrack.samples.size()) * 2 / 1024.0;
  std::printf("[ figures ] resident memory during the logo %ld kB; PCM of both tracks %.0f kB\n",
              logoKb, pcmKb);
  if (!kSanitized) {
    EXPECT_LE(residentKb, logoKb + 25 * 1024 + 1.15 * pcmKb);
  }

  ProcessResult result;
  double quitMs = QuitFromTheLevel(result);
  std::printf("[ figures ] Escape in the level to the end of the process: %.0f ms\n", quitMs);
  EXPECT_LT(quitMs, kSanitized ? 2000 : 500);
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "") << "the device opened through the OSS emulation";

  Recording rec = pulse.StopRecording();
  ASSERT_EQ(rec.rate, RATE);
  ASSERT_GT(rec.frames(), size_t(15 * RATE));

  // The title music from its first frame, once the logo is over.
  size_t titleLoud = FirstLoudFrame(titleTrack);
  size_t firstLoud = FirstLoudFrame(rec);
  long titleOffset =
      FindTrack(rec, titleTrack, titleLoud, long(firstLoud) - 2048, long(firstLoud) + 2048);
  ASSERT_GE(titleOffset, 0) << "the recording starts with the title music";
  Following titlePart =
      Follow(rec, titleTrack, titleOffset, titleOffset + long(titleLoud), long(rec.frames()));
  // The title music starts just before the title picture shows (it loads
  // first); it must play on through the loading screen until the level's first
  // frame, which may come a little after the cue while its pictures upload.
  double titleHeardMs = (titlePart.endFrame - titleOffset) * 1000.0 / RATE;
  double titleShownMs = MsBetween(titleSeen, levelSeen);
  // PulseAudio's OSS emulation buffers up to about a second while its stream
  // starts, and that backlog has drained by the level: the recorded title can
  // be shorter than the time it was on screen by that much. That it went on
  // through the loading screen shows in the level music starting where it
  // stops (below).
  const double kEmulationBacklogMs = 1000;
  EXPECT_GE(titleHeardMs + kEmulationBacklogMs, MsBetween(titleSeen, loadingSeen))
      << "through the loading screen";
  EXPECT_LE(titleHeardMs, titleShownMs + 150) << "not into the level";
  std::printf(
      "[ figures ] title music heard for %.0f ms; title and loading screen shown for %.0f ms; "
      "longest gap %.0f ms\n",
      titleHeardMs, titleShownMs, titlePart.longestGapMs);
  EXPECT_LE(titlePart.longestGapMs, 50);
  std::printf("[ figures ] title music: %.0f ms of it skipped over in the recording\n",
              (titlePart.offset - titleOffset) * 1000.0 / RATE);

  // The level music from its first frame right where the title music stops.
  long levelOffset =
      FindTrack(rec, levelTrack, 0, titlePart.endFrame - 4096, titlePart.endFrame + 8192);
  ASSERT_GE(levelOffset, 0) << "the level music starts where the title music stops";
  std::printf("[ figures ] from the last title frame heard to the first level frame: %.1f ms\n",
              (levelOffset - titlePart.endFrame) * 1000.0 / RATE);
  Following levelPart = Follow(rec, levelTrack, levelOffset, levelOffset, levelOffset + 10 * RATE);
  std::printf("[ figures ] level music followed for %.0f ms, longest gap or glitch %.0f ms\n",
              (levelPart.endFrame - levelOffset) * 1000.0 / RATE, levelPart.longestGapMs);
  EXPECT_GE(levelPart.endFrame, levelOffset + 10 * RATE) << "10 s of level music without a break";
  EXPECT_LE(levelPart.longestGapMs, 50);

  // The first audible title frame on the wall clock, placed through the level
  // change: silence until the logo's 100 frames are over.
  double audibleMs = MsBetween(started, levelSeen) - (levelOffset - titleOffset) * 1000.0 / RATE;
  std::printf("[ figures ] first audible title frame about %.0f ms after start\n", audibleMs);
  EXPECT_GE(audibleMs, MsBetween(started, logoSeen) + 1667 - 100);

  if (const char* dir = std::getenv("KELPORA_SCREENSHOT_DIR"))
    WriteWav(std::string(dir) + "/5-sound.wav", rec, size_t(levelOffset - 4 * RATE),
             size_t(8 * RATE));
}

TEST_F(DemoAudioTest, WithoutAnAudioDeviceTheDemoRunsSilentlyAndSaysSoOnce) {
  Start({});
  WaitFor([&] { return IsTitle(); }, 30000);
  EXPECT_GE(TitleScrollRate(), kSanitized ? 15 : 40);
  x.TapKey(XK_Escape);
  WaitFor([&] { return IsLevel(); }, 30000);
  SleepMs(1000);
  ProcessResult result;
  double quitMs = QuitFromTheLevel(result);
  std::printf(
      "[ figures ] without a device: Escape in the level to the end of the process: %.0f ms\n",
      quitMs);
  EXPECT_LT(quitMs, kSanitized ? 2000 : 500);
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "linuxaudio failed\n");
}

}  // namespace
