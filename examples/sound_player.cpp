// Plays a WAV or Ogg Vorbis file given on the command line, over and over,
// through the sound clip and channel interface. Ogg files are streamed (decoded
// while they play, so a long one starts at once and is never held whole in
// memory); WAV files are loaded.
//   Space        pause / resume
//   Up / Down    volume
//   Left / Right pan
//   F / S        faster / slower
//   Escape       quit (closing the window quits too)
// Each change is also printed on standard output.
#include <algorithm>
#include <cstdio>

#include "framework/kelpora.h"
#include "audio/clips_channels.h"
#include "audio/loaders/ogg_loader.h"
#include "audio/loaders/wav_loader.h"
#include "audio/mixer_backend.h"
#include "audio/stream_clip.h"
#include "graphics/gl_driver.h"
#include "input/keyboard_mouse.h"
#include "runtime/startup.h"
#include "runtime/system_driver.h"
#include "runtime/text.h"
#include "stream/stream.h"
#include "vex2d/draw_state.h"
#include "vex2d/graphics_mode.h"
#include "vex2d/image_font.h"

using namespace kelpora;

namespace {

constexpr int32_t KEY_F = 'F';
constexpr int32_t KEY_S = 'S';

// One decimal, as the controls step by tenths.
String Tenths(float value) {
  int32_t tenths = static_cast<int32_t>(value * 10 + (value < 0 ? -0.5f : 0.5f));
  String sign = tenths < 0 ? u"-" : u"";
  tenths = tenths < 0 ? -tenths : tenths;
  return sign + FormatInt(tenths / 10) + u"." + FormatInt(tenths % 10);
}

void Report(const String& text) {
  std::printf("%s\n", ToBytes(text).c_str());
  std::fflush(stdout);
}

void Main() {
  const std::vector<String>& arguments = ApplicationState.arguments;
  if (arguments.size() != 2) {
    std::fprintf(stderr, "usage: sound_player <file.wav|file.ogg>\n");
    std::exit(2);
  }
  // Every module but the network. The sound part opens the output device
  // and plays through the software mixer; without a device the clips stay
  // silent and everything else works the same.
  InitKelpora({.network = false});

  // The command line is relative to where the program was started; start-up
  // changed the working directory to the executable's folder.
  String path = arguments[1];
  if (!path.starts_with(u"/")) path = ApplicationState.startDir + u"/" + path;
  // Nonzero flags: loop. StreamClip answers none for anything but Ogg Vorbis.
  Ref<TSoundClip> clip = StreamClip(path, 1);
  const bool streamed = static_cast<bool>(clip);
  if (!clip) clip = LoadClip(path, 1);
  if (!clip) {
    std::fprintf(stderr, "sound_player: cannot load %s\n", ToBytes(arguments[1]).c_str());
    std::exit(1);
  }
  Ref<TPlayChannel> channel = StartClip(clip, {});

  float volume = 1, pan = 0, rate = 1;
  bool paused = false;
  OpenCanvas(640, 480, 0, 60);
  SetClearColor(24, 16, 40);
  Report((streamed ? u"streaming " : u"playing ") + arguments[1]);
  while (!KeyHits(KEY_ESCAPE)) {
    if (KeyHits(KEY_SPACE)) {
      paused = !paused;
      paused ? ChannelPause(channel) : ChannelResume(channel);
      Report(paused ? u"paused" : u"resumed");
    }
    if (int32_t step = KeyHits(KEY_UP) - KeyHits(KEY_DOWN)) {
      volume = std::clamp(volume + 0.1f * step, 0.0f, 1.0f);
      ChannelSetVolume(channel, volume);
      Report(u"volume " + Tenths(volume));
    }
    if (int32_t step = KeyHits(KEY_RIGHT) - KeyHits(KEY_LEFT)) {
      pan = std::clamp(pan + 0.1f * step, -1.0f, 1.0f);
      ChannelSetPan(channel, pan);
      Report(u"pan " + Tenths(pan));
    }
    if (int32_t step = KeyHits(KEY_F) - KeyHits(KEY_S)) {
      rate = std::clamp(rate + 0.1f * step, 0.1f, 4.0f);
      ChannelSetRate(channel, rate);
      Report(u"rate " + Tenths(rate));
    }

    ClearScreen();
    SetDrawColor(255, 255, 255);
    DrawString(arguments[1], 16, 16);
    DrawString(paused ? u"paused" : u"playing", 16, 48);
    DrawString(u"volume " + Tenths(volume) + u"  pan " + Tenths(pan) + u"  rate " + Tenths(rate),
               16, 80);
    DrawString(u"Space pause  Up/Down volume  Left/Right pan  F/S rate  Escape quit", 16, 448);
    PresentFrame();
  }
  ChannelHalt(channel);
  CloseCanvas();
}

}  // namespace

int main(int argc, char** argv) { return RunApplication(argc, argv, Main); }
