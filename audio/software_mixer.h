// The software mixer: voices of PCM data mixed in integer fixed point into
// blocks of 16-bit stereo at 44100 Hz, and the flat `audio_*` interface over
// 32-bit channel handles that the sound layer calls.
//
// Two threads meet here without a lock. The program thread starts voices and
// changes their settings; the output thread runs the mixing passes. New voices
// travel to the output thread through the pending ring, used ones come back
// through the free ring; both rings have one producer and one consumer.
// A streamed voice reads its frames from a third kind of ring, filled by the
// audio module's decoder thread (audio/stream_ring.h).
// Settings are single atomic words read by the mixer once per pass.
//
// Fixed-point units: rate 16.16 (65536 = 1.0), volume and pan 4.12
// (4096 = 1.0), play position 32.32 counting samples of the interleaved data.
// Nothing here throws; failures come back as null, 0 or -1.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/stream_ring.h"

namespace kelpora {

constexpr int32_t MIX_RATE_UNITY = 65536;
constexpr int16_t MIX_VOLUME_UNITY = 4096;
constexpr int MIX_OUTPUT_RATE = 44100;
constexpr int MIX_RING_SLOTS = 4096;
constexpr int MIX_CHANNEL_SLOTS = 4096;

// Voice states. The pause flag is added to or removed from whichever of them
// the voice has.
constexpr int VOICE_FREE = 0;
constexpr int VOICE_STOPPED = 1;
constexpr int VOICE_ONCE = 2;
constexpr int VOICE_LOOPED = 4;
constexpr int VOICE_PAUSED = 16;

// The mixer's copy of a sound's PCM data. `bits` 8 is unsigned 8-bit, any
// other value signed 16-bit in host byte order; `channels` 1 is mono, 2
// interleaved stereo. The count of references is shared by the program thread
// (clips, starts) and the output thread (recycled voices).
struct pcmsample {
  int rate = 0;
  int channels = 0;
  int bits = 0;
  int length = 0;  // frames
  int bytesPerFrame = 0;
  int size = 0;     // bytes
  int written = 0;  // frames written so far
  std::atomic<int> references{1};
  int loop = 0;
  uint8_t* data = nullptr;
  uint8_t* writePointer = nullptr;
  // A streamed sound has no data: its 16-bit stereo frames come through this
  // ring, which the sample owns. `length` is then 0.
  streamring* ring = nullptr;
};

// Makes a sample of `length` frames, zero-filled, or null for a shape the
// mixer cannot play (length below 0, channels other than 1 or 2, a size beyond
// 2^31 bytes). Any `bits` but 8 is stored as 16-bit.
pcmsample* pcmsample_create(int length, int bits, int channels, int rate, int loop);
// A streamed sound of 16-bit stereo frames at `rate`, read from a new ring
// of `capacity` frames; null for a rate below 1.
pcmsample* pcmsample_createstream(int rate, int capacity = STREAM_RING_FRAMES);
// Adds one reference.
void pcmsample_retain(pcmsample* pcm);
// Drops one reference; the last one frees the data and the record.
void pcmsample_release(pcmsample* pcm);

// Settings of one voice or of the mixer as a whole. `which` nonzero asks for
// the target value, zero for the current one.
class output {
 public:
  virtual ~output() = default;
  virtual void setrate(int32_t rate) = 0;
  virtual void setvolume(int16_t volume) = 0;
  virtual void setpan(int16_t pan) = 0;
  virtual void setdepth(int16_t depth) = 0;
  virtual int32_t getrate(int which) const = 0;
  virtual int16_t getvolume(int which) const = 0;
  virtual int16_t getpan(int which) const = 0;
  virtual int16_t getdepth(int which) const = 0;
};

class mixer;

// One voice. Setters write the target; while the voice is paused they also
// write the current value (except depth), so the change is heard without a
// ramp when it resumes.
class sound : public output {
 public:
  explicit sound(mixer* owner) : owner(owner) {}

  void setrate(int32_t rate) override;
  void setvolume(int16_t volume) override;
  void setpan(int16_t pan) override;
  void setdepth(int16_t depth) override;
  int32_t getrate(int which) const override;
  int16_t getvolume(int which) const override;
  int16_t getpan(int which) const override;
  int16_t getdepth(int which) const override;

  // Program thread: sets the state to stopped unless the voice is free.
  void stop();
  // Program thread: adds or removes the pause flag unless the voice is free.
  void pause(bool paused);
  // Back to the settings of a new voice (program thread, voice not in flight).
  void resetsettings();

  mixer* const owner;
  std::atomic<int> state{VOICE_STOPPED};
  int handle = 0;  // program thread only
  // Program thread only: the voice went into the pending ring and has not yet
  // come back through the free ring.
  bool inflight = false;
  sound* next = nullptr;  // output thread only, while linked
  pcmsample* pcm = nullptr;
  uint64_t position = 0;  // 32.32 samples
  std::atomic<int32_t> rate{MIX_RATE_UNITY}, targetRate{MIX_RATE_UNITY};
  std::atomic<int16_t> volume{MIX_VOLUME_UNITY}, targetVolume{MIX_VOLUME_UNITY};
  std::atomic<int16_t> pan{0}, targetPan{0};
  std::atomic<int16_t> depth{0}, targetDepth{0};
};

class channeltable;

// Mixes voices into an accumulator of `count` output samples (left and right
// interleaved) and converts it to 16-bit. Voices are never freed while the
// mixer lives: the free ring and a program-side spare list are their pool.
class mixer : public output {
 public:
  explicit mixer(int count);
  ~mixer() override;
  mixer(const mixer&) = delete;
  mixer& operator=(const mixer&) = delete;

  // The mixer as an output has fixed defaults and ignores its setters.
  void setrate(int32_t) override {}
  void setvolume(int16_t) override {}
  void setpan(int16_t) override {}
  void setdepth(int16_t) override {}
  int32_t getrate(int) const override { return MIX_RATE_UNITY; }
  int16_t getvolume(int) const override { return MIX_VOLUME_UNITY; }
  int16_t getpan(int) const override { return 0; }
  int16_t getdepth(int) const override { return 0; }

  // Program thread. Starts `pcm` in `state` with the target settings of
  // `templ` (or the defaults), or refuses with null: no pcm, an empty or
  // shapeless one, no output rate, or a full pending ring.
  sound* start(pcmsample* pcm, const sound* templ, int state);
  // Program thread: a voice from the spare list, the free ring or the heap,
  // with default settings or those of `templ`. A recycled voice that still
  // carries a channel handle gives the channel back first.
  sound* takevoice(const sound* templ);
  // Program thread: gives back a voice that was taken but never started.
  void sparevoice(sound* voice);

  // Output thread: one mixing pass of `n` output samples (-1: `count`) into
  // `out`, which may be null to mix and discard.
  void mix(int16_t* out, int n = -1);

  // Voice objects made so far (program thread).
  int voicecount() const { return static_cast<int>(voices_.size()); }
  // Output frames that streamed voices played as silence because their ring
  // had not been refilled in time (any thread may read it).
  int64_t streamsilence() const { return streamSilence_.load(std::memory_order_relaxed); }

  int count;
  int outputRate = 0;
  int outputChannels = 0;
  channeltable* channels = nullptr;  // set by the flat interface

 private:
  int mixvoice(sound* voice, int n);
  int mixstream(sound* voice, int frames);
  bool recycle(sound* voice);

  std::vector<int32_t> accumulator_;
  // Wide sums of the voices mixed so far in this pass, used only when a pass
  // has more voices than the 32-bit accumulator can add without overflow.
  std::vector<int64_t> spill_;
  // A streamed voice's frames for one pass, copied out of its ring.
  std::vector<int16_t> streamFrames_;
  std::atomic<int64_t> streamSilence_{0};
  sound* active_ = nullptr;
  std::array<sound*, MIX_RING_SLOTS> pending_{};
  std::array<sound*, MIX_RING_SLOTS> free_{};
  alignas(64) std::atomic<int> pendingRead_{0};
  alignas(64) std::atomic<int> pendingWrite_{0};
  alignas(64) std::atomic<int> freeRead_{0};
  alignas(64) std::atomic<int> freeWrite_{0};
  std::vector<sound*> spare_;                   // program thread only
  std::vector<std::unique_ptr<sound>> voices_;  // every voice made, program thread only
};

// Channel handles: generation in the upper 20 bits, slot 1..4095 in the low
// 12. Slot 0 is never handed out; the first handle of slot 1 is 8193.
// Program thread only.
class channeltable {
 public:
  channeltable();
  int allocate();
  // Frees the handle's slot if the handle still owns it.
  void release(int handle);
  // The slot's voice for a handle that owns an allocated slot, else null.
  // A reserved slot without a voice gets one from `m` to hold its settings.
  sound* lookup(int handle, mixer* m);
  // The slot's voice without making one (null for a stale handle).
  sound* voiceof(int handle) const;
  bool owns(int handle) const;
  void setvoice(int handle, sound* voice);

 private:
  std::array<sound*, MIX_CHANNEL_SLOTS> voice_{};
  std::array<int, MIX_CHANNEL_SLOTS> link_{};
  std::array<uint32_t, MIX_CHANNEL_SLOTS> generation_{};
  std::array<bool, MIX_CHANNEL_SLOTS> used_{};
};

// The device that drives a mixer (see audio/oss_device.h for the OSS one).
// `open` returns 0 on success and creates the mixer; `close` always returns 0.
class audiodevice {
 public:
  virtual ~audiodevice();
  virtual int open() = 0;
  virtual int close() = 0;
  // Lets go of the device after `close`. A device whose thread may still run
  // (a write that never returns) is destroyed by that thread when it ends.
  virtual void dispose() { delete this; }

  // Starts `pcm` once or looped (by its loop field), paused when `paused` is
  // nonzero, with the target settings of `templ`. Null if refused.
  sound* play(pcmsample* pcm, const sound* templ, int paused);

  mixer* engine = nullptr;
};

// A device without hardware: the owner runs the output thread's pass itself,
// so mixes can be rendered into memory and compared exactly.
class offlineaudio : public audiodevice {
 public:
  int open() override;
  int close() override { return 0; }
  // One pass of 2 × `frames` samples into `out` (null: discard).
  void render(int16_t* out, int frames);
};

// The flat interface. Program thread only; every call returns at once.
// Opens the device that audio_choosedevice() settles on (audio/output_choice.h):
// ALSA's default PCM, else "/dev/dsp", else one that mixes nothing.
int audio_open();
// Opens with a device of the caller's choosing (an OSS device on another path,
// an offline device). Takes ownership; the device is disposed of by audio_close.
int audio_open(std::unique_ptr<audiodevice> device);
int audio_close();
// The open device, or null.
audiodevice* audio_device();
int audio_play(pcmsample* pcm, int paused, int handle);
int audio_allocchannel();
void audio_freechannel(int handle);
int audio_channelstate(int handle);
void audio_stopchannel(int handle);
void audio_pausechannel(int handle, int paused);
void audio_setvolume(int handle, float volume);
void audio_setrate(int handle, float rate);
void audio_setpan(int handle, float pan);
void audio_setdepth(int handle, float depth);
pcmsample* audio_newsample(int length, int bits, int channels, int rate, const void* data,
                           int loop);
int audio_writesample(pcmsample* pcm, const void* data, int frames);
// The open mixer's streamsilence(), 0 without one.
int64_t audio_streamsilence();
void audio_releasesample(pcmsample* pcm);

}  // namespace kelpora
