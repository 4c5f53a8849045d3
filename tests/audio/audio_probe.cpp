// Started by the device tests. "nodevice": opens the OSS device on a path that
// does not exist, plays on regardless and says "went on". "play": opens
// "/dev/dsp" (under the sound server's OSS emulation), plays the test chirp and
// prints the monotonic time of the start in nanoseconds.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "audio/oss_device.h"
#include "tests/audio/test_signal.h"

using namespace kelpora;

namespace {

long long NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

int main(int argc, char** argv) {
  const bool play = argc > 1 && std::strcmp(argv[1], "play") == 0;
  if (play ? audio_open()
           : audio_open(std::unique_ptr<audiodevice>(new linuxaudio("/nonexistent/kelpora/dsp"))))
    return 2;
  std::vector<int16_t> chirp = testing::Chirp();
  pcmsample* pcm = audio_newsample(testing::CHIRP_FRAMES, 16, 2, 44100, chirp.data(), 0);
  if (play) {
    // Under load the sound server's OSS emulation may connect its stream only
    // after its socket filled with up to a second of the first blocks; that
    // start-up backlog drains within about a second, then the queue is short.
    Sleep(1500);
    long long start = NowNs();
    testing::PlayChirp(pcm);
    std::printf("played %lld\n", start);
    std::fflush(stdout);
    Sleep(1500);
  } else {
    auto* device = static_cast<linuxaudio*>(audio_device());
    for (int i = 0; i < 500 && !device->finished(); ++i) Sleep(10);
    int h = testing::PlayChirp(pcm);
    Sleep(100);
    // Nothing mixes: the voice is still waiting to start.
    if (audio_channelstate(h) != VOICE_ONCE) return 3;
    std::printf("went on\n");
  }
  long long closing = NowNs();
  audio_close();
  audio_releasesample(pcm);
  std::printf("closed in %lld ms\n", (NowNs() - closing) / 1000000);
  return 0;
}
