// The ALSA device through private ALSA configurations: the file plugin on the
// null device (what it writes is the offline mix, sample for sample), a
// default PCM that does not exist (the choice falls back, then says why), and
// a real PulseAudio server reached through the pulse plugin and killed while
// it plays.
#include "audio/alsa_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/output_choice.h"
#include "process.h"
#include "pulse_session.h"
#include "tests/audio/alsa_config.h"
#include "tests/audio/device_fifo.h"
#include "tests/audio/test_signal.h"

namespace kelpora::testing {
namespace {

constexpr int BLOCK_BYTES = 4 * alsaaudio::BLOCK_FRAMES;

int Entries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

TEST(AlsaDevice, WritesTheOfflineMixToTheDefaultPcmSampleForSample) {
  DeviceFifo fifo("pcm");
  ASSERT_TRUE(fifo.made());
  AlsaConfig config(FilePcm(fifo.path()));
  config.Apply();
  // Open first, so that the plugin's open of the FIFO does not wait; read at
  // whatever pace, the FIFO paces the device.
  ASSERT_TRUE(fifo.OpenReader(false));

  auto* device = new alsaaudio;
  ASSERT_EQ(audio_open(std::unique_ptr<audiodevice>(device)), 0) << device->error();
  EXPECT_EQ(device->periodframes(), alsaaudio::BLOCK_FRAMES);
  EXPECT_LE(device->bufferframes(), 3 * alsaaudio::BLOCK_FRAMES);
  std::vector<int16_t> chirp = Chirp();
  pcmsample* pcm = audio_newsample(CHIRP_FRAMES, 16, 2, 44100, chirp.data(), 0);

  // The same start rendered offline, one block per pass.
  const int blocks = CHIRP_FRAMES / alsaaudio::BLOCK_FRAMES + 1;
  std::vector<int16_t> expected = OfflineChirpPasses(pcm, blocks);

  PlayChirp(pcm);
  const size_t wanted = size_t(BLOCK_BYTES) * (blocks + 40);
  std::vector<uint8_t> stream = fifo.ReadBytes(wanted, 10000);
  EXPECT_GE(stream.size(), wanted) << "the device stopped writing";
  // Read on while it closes: the file plugin writes out what it holds when
  // the PCM is dropped, and aborts if the FIFO cannot take it.
  std::thread drain([&] { fifo.Drain(30000); });
  audio_close();
  drain.join();
  audio_releasesample(pcm);

  // Silence until the pass that took the voice, then exactly the offline mix,
  // low byte first, left first.
  ExpectMixAfterSilence(stream, BLOCK_BYTES, expected);
}

TEST(AlsaDevice, AThousandOpensAndClosesLeaveNoDescriptorThreadOrMemory) {
  AlsaConfig config(FilePcm("/dev/null"));
  config.Apply();
  std::vector<int16_t> chirp = Chirp();
  auto cycle = [&] {
    ASSERT_EQ(audio_open(), 0);
    ASSERT_STREQ(audio_devicename(), "alsa");
    pcmsample* pcm = audio_newsample(CHIRP_FRAMES, 16, 2, 44100, chirp.data(), 1);
    PlayChirp(pcm);
    audio_releasesample(pcm);
    audio_close();
  };
  auto settled = [](int tasks) {  // detached threads end just after close
    for (int i = 0; i < 1000 && Entries("/proc/self/task") > tasks; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return Entries("/proc/self/task");
  };
  const int tasks = Entries("/proc/self/task");
  for (int i = 0; i < 5; ++i) cycle();  // ALSA reads and keeps its configuration once
  settled(tasks);
  const int descriptors = Entries("/proc/self/fd");
  const size_t heap = mallinfo2().uordblks;
  for (int i = 0; i < 1000 && !HasFatalFailure(); ++i) cycle();
  EXPECT_EQ(settled(tasks), tasks);
  EXPECT_EQ(Entries("/proc/self/fd"), descriptors);
  // One lost mixer alone is over 64 KB; the sanitizer builds report leaks themselves.
  EXPECT_LE(mallinfo2().uordblks, heap + 64 * 1024);
}

// What the probe prints for each configuration: the choice and, when nothing
// opened, the one line that says why for each device tried.
TEST(AudioOpen, ChoosesAlsaThenOssThenNoneAndSaysWhyNoneOpened) {
  AlsaConfig file(FilePcm("/dev/null")), missing("\"kelpora_no_such_pcm\"");
  AlsaConfig bareMissing("{ type hw card 99 }", false);
  const int dsp = open("/dev/dsp", O_WRONLY | O_NONBLOCK);
  const std::string oss = dsp >= 0 ? "" : std::string("; oss \"/dev/dsp\": ") + strerror(errno);
  if (dsp >= 0) close(dsp);
  const std::string noAlsa = "linuxaudio failed: alsa \"default\": No such file or directory";
  PulseSession pulse;  // the OSS emulation gives the fallback a /dev/dsp that opens
  std::vector<std::string> emulation = pulse.OssEnvironment(), forced = emulation;
  emulation.push_back(bareMissing.Environment());
  forced.push_back("KELPORA_AUDIO=oss");

  struct Row {
    std::vector<std::string> env;
    std::string out;  // how standard output starts
  } rows[] = {
      {{file.Environment(), NO_PULSE}, "device alsa\nclosed in "},
      {{file.Environment(), NO_PULSE, "KELPORA_AUDIO=none"}, "device none\nclosed in "},
      {{missing.Environment(), NO_PULSE, "KELPORA_AUDIO=alsa"}, noAlsa + "\ndevice none\n"},
      {{missing.Environment(), NO_PULSE},
       dsp >= 0 ? "device oss\n" : noAlsa + oss + "\ndevice none\nclosed in "},
      {emulation, "device oss\nclosed in "},
      {forced, "device oss\nclosed in "},
  };
  for (const Row& row : rows) {
    ChildProcess probe(AUDIO_PROBE, {"choose"}, row.env);
    ProcessResult r = probe.Wait(30000);
    EXPECT_TRUE(r.exited && r.status == 0) << r.err;
    EXPECT_EQ(r.out.rfind(row.out, 0), 0u) << r.out << "for " << row.env.back();
    EXPECT_EQ(r.err, "");  // ALSA's own diagnostics stay quiet
  }
}

// The sound server killed while the device plays through it: one line, the
// flat interface goes on, and close returns.
TEST(AlsaThroughPulse, AServerKilledWhilePlayingEndsTheOutputWithOneLine) {
  PulseSession pulse;
  AlsaConfig config("{ type pulse }");
  std::vector<std::string> env = pulse.OssEnvironment();
  std::erase_if(env, [](const std::string& e) { return e.rfind("LD_PRELOAD=", 0) == 0; });
  env.push_back(config.Environment());
  std::string runtime = env[0].substr(env[0].find('=') + 1);
  std::string pid;
  std::ifstream(runtime + "/pulse/pid") >> pid;
  ASSERT_FALSE(pid.empty());

  ChildProcess probe(AUDIO_PROBE, {"lose", pid}, env);
  ProcessResult r = probe.Wait(60000);
  ASSERT_TRUE(r.exited) << r.out << r.err;
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.rfind("device alsa\nlinuxaudio failed: alsa \"default\" stopped: ", 0), 0u)
      << r.out;
  EXPECT_NE(r.out.find("\nwent on\nclosed in "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("linuxaudio failed"), r.out.rfind("linuxaudio failed")) << r.out;
}

}  // namespace
}  // namespace kelpora::testing
