// Started by the device tests. "nodevice": opens the OSS device on a path that
// does not exist, plays on regardless and says "went on". "play": opens
// "/dev/dsp" (under the sound server's OSS emulation), plays the test chirp and
// prints the monotonic time of the start in nanoseconds; "playchosen" does the
// same on the device that audio_open() chooses. "choose": prints the name of
// the device chosen. "lose <pid>": plays on the chosen ALSA device, kills the
// sound server <pid> once the output is flowing, and says "went on" once the
// device has given up. "stream <file.ogg>": streams the file on the chosen
// device while this (the program's) thread is blocked for 1.5 s, waits for its
// end and prints the frames the decoder left silent.
#include <signal.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "audio/alsa_device.h"
#include "audio/mixer_backend.h"
#include "audio/stream_clip.h"
#include "audio/oss_device.h"
#include "audio/output_choice.h"
#include "runtime/text.h"
#include "stream/stream.h"
#include "tests/audio/test_signal.h"

using namespace kelpora;

namespace {

long long NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits up to `ms` for `done`.
template <typename F>
bool WaitFor(F done, int ms) {
  for (int i = 0; i < ms / 10 && !done(); ++i) Sleep(10);
  return done();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  int opened;
  if (mode == "nodevice")
    opened = audio_open(std::unique_ptr<audiodevice>(new linuxaudio("/nonexistent/kelpora/dsp")));
  else if (mode == "play")
    opened = audio_open(std::unique_ptr<audiodevice>(new linuxaudio("/dev/dsp")));
  else
    opened = audio_open();
  if (opened) return 2;
  if (mode != "nodevice" && mode != "play") std::printf("device %s\n", audio_devicename());
  std::vector<int16_t> chirp = testing::Chirp();
  pcmsample* pcm = audio_newsample(testing::CHIRP_FRAMES, 16, 2, 44100, chirp.data(), 0);
  if (auto* alsa = dynamic_cast<alsaaudio*>(audio_device())) {
    // A null sink that was idle takes the first blocks of a stream at once and
    // then nothing until its next wake-up, up to 2 s later: wait until the
    // blocks flow at the sink's pace, past what the buffer holds.
    WaitFor([&] { return alsa->blocks() >= 8; }, 10000);
  }
  if (mode == "play" || mode == "playchosen") {
    // Under load the sound server's OSS emulation may connect its stream only
    // after its socket filled with up to a second of the first blocks; that
    // start-up backlog drains within about a second, then the queue is short.
    Sleep(1500);
    long long start = NowNs();
    testing::PlayChirp(pcm);
    std::printf("played %lld\n", start);
    std::fflush(stdout);
    Sleep(1500);
  } else if (mode == "stream" && argc > 2) {
    InitStreamModule();
    InstallAudioBackend(MakeRef<TMixerBackend>());
    Ref<TSoundClip> clip = StreamClip(FromBytes(argv[2]), 0);
    if (!clip) return 8;
    Ref<TPlayChannel> channel = StartClip(clip, nullptr);
    Sleep(1500);  // nothing here feeds the stream meanwhile
    if (!WaitFor([&] { return !ChannelIsPlaying(channel); }, 60000)) return 9;
    std::printf("silent %lld\n", static_cast<long long>(StreamedSilenceFrames()));
    Sleep(1500);  // the queues drain before the device closes
  } else if (mode == "nodevice") {
    auto* device = static_cast<linuxaudio*>(audio_device());
    WaitFor([&] { return device->finished(); }, 5000);
    int h = testing::PlayChirp(pcm);
    Sleep(100);
    // Nothing mixes: the voice is still waiting to start.
    if (audio_channelstate(h) != VOICE_ONCE) return 3;
    std::printf("went on\n");
  } else if (mode == "lose" && argc > 2) {
    auto* device = dynamic_cast<alsaaudio*>(audio_device());
    if (!device) return 4;
    // The chirp played to its end shows that blocks reach the server.
    int h = testing::PlayChirp(pcm);
    if (!WaitFor([&] { return audio_channelstate(h) != VOICE_ONCE; }, 30000)) return 5;
    std::fflush(stdout);
    kill(std::atoi(argv[2]), SIGKILL);
    if (!WaitFor([&] { return device->finished(); }, 30000)) return 6;
    h = testing::PlayChirp(pcm);
    if (audio_channelstate(h) != VOICE_ONCE) return 7;
    std::printf("went on\n");
  }
  long long closing = NowNs();
  audio_close();
  audio_releasesample(pcm);
  std::printf("closed in %lld ms\n", (NowNs() - closing) / 1000000);
  return 0;
}
