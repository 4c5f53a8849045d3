#include "audio/alsa_device.h"

#include <alsa/asoundlib.h>
#include <sched.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

namespace kelpora {

namespace {

// Recoveries in a row without a frame written before the PCM counts as gone:
// a device that fails every write must not keep the thread spinning.
constexpr int MAX_FAILED_RECOVERIES = 8;

// ALSA prints its own diagnostics on standard error; the device reports its
// failures itself, in one line.
void Quiet(const char*, int, const char*, int, const char*, ...) {}

std::string Describe(const char* what, int err) {
  return std::string(what) + ": " + snd_strerror(err);
}

}  // namespace

alsaaudio::alsaaudio(std::string pcmname) : pcmname(std::move(pcmname)) {}

alsaaudio::~alsaaudio() {
  if (pcm_) snd_pcm_close(pcm_);
}

int alsaaudio::open() {
  if (engine) return 0;
  static std::once_flag quieted;
  std::call_once(quieted, [] { snd_lib_error_set_handler(Quiet); });
  int err = snd_pcm_open(&pcm_, pcmname.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
  if (err < 0) {
    pcm_ = nullptr;
    error_ = snd_strerror(err);
    return -1;
  }
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  unsigned rate = MIX_OUTPUT_RATE;
  snd_pcm_uframes_t period = BLOCK_FRAMES, buffer = 3 * BLOCK_FRAMES;
  // The device may resample (the default allows it) but must take the format.
  if ((err = snd_pcm_hw_params_any(pcm_, hw)) < 0 ||
      (err = snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
      (err = snd_pcm_hw_params_set_format(pcm_, hw, SND_PCM_FORMAT_S16_LE)) < 0 ||
      (err = snd_pcm_hw_params_set_channels(pcm_, hw, 2)) < 0 ||
      (err = snd_pcm_hw_params_set_rate_near(pcm_, hw, &rate, nullptr)) < 0 ||
      (err = snd_pcm_hw_params_set_period_size_near(pcm_, hw, &period, nullptr)) < 0 ||
      (err = snd_pcm_hw_params_set_buffer_size_near(pcm_, hw, &buffer)) < 0 ||
      (err = snd_pcm_hw_params(pcm_, hw)) < 0) {
    error_ = snd_strerror(err);
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
    return -1;
  }
  snd_pcm_hw_params_get_period_size(hw, &period, nullptr);
  snd_pcm_hw_params_get_buffer_size(hw, &buffer);
  period_ = static_cast<long>(period);
  buffer_ = static_cast<long>(buffer);

  engine = new mixer(2 * BLOCK_FRAMES);
  engine->outputRate = MIX_OUTPUT_RATE;
  engine->outputChannels = 2;
  block_.assign(2 * BLOCK_FRAMES, 0);
  setqueue(BLOCK_FRAMES / 2);
  startthread();
  return 0;
}

int alsaaudio::close() {
  running_ = 0;
  waitforthread();
  return 0;
}

// The PCM's failure `err`: underruns, suspends and interruptions are recovered
// (and the first two counted); false, with error_ set, when it failed for good
// or fails again and again without progress.
bool alsaaudio::recover(int err, int& failed) {
  if (err == -EPIPE || err == -ESTRPIPE) recoveries_.fetch_add(1, std::memory_order_relaxed);
  if (err == -EPIPE) lengthenqueue();
  const int r = snd_pcm_recover(pcm_, err, 1);
  if (r < 0 || ++failed > MAX_FAILED_RECOVERIES) {
    error_ = Describe(("alsa \"" + pcmname + "\" stopped").c_str(), r < 0 ? r : err);
    return false;
  }
  return true;
}

// The next block is mixed only once no more than `queued_` frames wait in the
// buffer, rather than mixing first and then waiting in the write: a voice
// started now is heard after what is queued, not after a full buffer. The
// queue starts at half a block (about 35 ms with the block, on a quiet
// machine) and grows by half a block after each underrun, up to the buffer
// less one block, so a busy machine trades latency for unbroken sound.
void alsaaudio::setqueue(long frames) {
  const long queued =
      std::clamp<long>(frames, BLOCK_FRAMES / 2, std::max<long>(buffer_ - BLOCK_FRAMES, BLOCK_FRAMES / 2));
  queued_.store(queued, std::memory_order_relaxed);
  snd_pcm_sw_params_t* sw;
  snd_pcm_sw_params_alloca(&sw);
  if (snd_pcm_sw_params_current(pcm_, sw) == 0 &&
      snd_pcm_sw_params_set_avail_min(pcm_, sw, static_cast<snd_pcm_uframes_t>(buffer_ - queued)) == 0)
    snd_pcm_sw_params(pcm_, sw);
}

void alsaaudio::lengthenqueue() { setqueue(queueframes() + BLOCK_FRAMES / 2); }

bool alsaaudio::waitforroom() {
  int failed = 0;
  while (running_) {
    const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
    int err = static_cast<int>(avail);
    const snd_pcm_sframes_t wanted = buffer_ - queueframes();
    if (avail >= wanted) return true;
    // 0 on a timeout (the running flag is read again), 1 when there is room.
    if (avail >= 0 && (err = snd_pcm_wait(pcm_, 1000)) >= 0) {
      // Some plugins (PulseAudio's among them) wake as soon as any room
      // appears, whatever avail_min says: sleep while the missing frames
      // play instead of asking again at once.
      const snd_pcm_sframes_t now = snd_pcm_avail_update(pcm_);
      if (err == 1 && now >= 0 && now < wanted) {
        const long ns = std::min<long>((wanted - now) * 1000000000L / MIX_OUTPUT_RATE, 10000000L);
        const timespec pause = {0, ns};
        nanosleep(&pause, nullptr);
      }
      continue;
    }
    if (!recover(err, failed)) return false;
  }
  return true;
}

// Writes the block, resuming after short writes and recovering underruns and
// suspends. False when the PCM failed for good (error_ says how) or when told
// to stop partway.
bool alsaaudio::writeblock() {
  const int16_t* at = block_.data();
  snd_pcm_uframes_t left = BLOCK_FRAMES;
  int failed = 0;
  while (left > 0 && running_) {
    snd_pcm_sframes_t n = snd_pcm_writei(pcm_, at, left);
    if (n >= 0) {
      at += 2 * n;
      left -= static_cast<snd_pcm_uframes_t>(n);
      failed = 0;
      continue;
    }
    if (!recover(static_cast<int>(n), failed)) return false;
  }
  return left == 0;
}

void alsaaudio::output() {
  while (running_) {
    if (!waitforroom()) {
      std::printf("linuxaudio failed: %s\n", error_.c_str());
      std::fflush(stdout);
      break;
    }
    if (!running_) break;
    engine->mix(block_.data(), engine->count);
    if constexpr (std::endian::native == std::endian::big) {
      for (int16_t& s : block_)
        s = static_cast<int16_t>(__builtin_bswap16(static_cast<uint16_t>(s)));
    }
    if (!writeblock()) {
      if (running_) {
        std::printf("linuxaudio failed: %s\n", error_.c_str());
        std::fflush(stdout);
      }
      break;
    }
    blocks_.fetch_add(1, std::memory_order_relaxed);
  }
  // What is still queued is dropped: close must not wait for it to play.
  snd_pcm_drop(pcm_);
  snd_pcm_close(pcm_);
  pcm_ = nullptr;
  threadended();
}

}  // namespace kelpora
