// The backend that plays clips through the software mixer: clips hold the
// mixer's copy of their PCM, channels are the mixer's channel handles.
#pragma once

#include <cstdint>

#include "audio/clips_channels.h"

namespace kelpora {

struct pcmsample;

// Converts every sample to 16-bit stereo and hands it to the mixer; channels
// come from the mixer's pool of handles (none when it is exhausted).
class TMixerBackend : public TAudioBackend {
 public:
  Ref<TSoundClip> MakeClip(const Ref<TSampleData>& sample, int32_t flags) override;
  Ref<TPlayChannel> ReserveChannel() override;
};

// Owns one reference to the mixer's sample, released when the clip goes.
// Starting it on a channel of another backend answers none.
class TMixerClip : public TSoundClip {
 public:
  static Ref<TMixerClip> FromPcm(pcmsample* pcm);
  ~TMixerClip() override;

  Ref<TPlayChannel> Start(const Ref<TPlayChannel>& channel) override;
  Ref<TPlayChannel> StartPaused(const Ref<TPlayChannel>& channel) override;

  pcmsample* pcm = nullptr;

 private:
  Ref<TPlayChannel> Play(const Ref<TPlayChannel>& channel, int paused);
};

// A mixer channel handle. Destroying the object leaves the handle alone; a
// handle whose slot was handed out again reaches nothing.
class TMixerChannel : public TPlayChannel {
 public:
  static Ref<TMixerChannel> FromHandle(int32_t handle);

  void Halt() override;
  void SetPaused(int32_t paused) override;
  void SetVolume(float volume) override;
  void SetPan(float pan) override;
  void SetDepth(float depth) override;
  void SetRate(float rate) override;
  int32_t IsPlaying() override;

  int32_t handle = 0;
};

// Opens the mixer's output (closed again at process exit) and installs the
// mixer backend; the null backend stays when the output cannot be opened. Runs once.
void InitMixerBackendModule();

}  // namespace kelpora
