// The sound interface a game calls: load a clip, start it on a channel, and
// steer the channel. Clips and channels come from the current backend: the null
// backend until the mixer backend module replaces it.
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/object.h"

namespace kelpora {

class TSampleData;

// A channel on which one sound plays at a time. The base channel belongs to no
// backend: every operation does nothing and IsPlaying answers 0.
class TPlayChannel : public TObject {
 public:
  virtual void Halt();
  // Nonzero pauses, zero resumes.
  virtual void SetPaused(int32_t paused);
  // 1.0 is unity gain.
  virtual void SetVolume(float volume);
  // -1.0 full left, 0 centre, +1.0 full right.
  virtual void SetPan(float pan);
  // A negative depth plays the right side phase-inverted.
  virtual void SetDepth(float depth);
  // 1.0 plays at the sound's own rate.
  virtual void SetRate(float rate);
  // 1 while a sound plays or is paused on the channel, else 0.
  virtual int32_t IsPlaying();
};

// A sound that can be started any number of times. Start and StartPaused play
// it on `channel` (stopping what played there) or, for none, on a new channel,
// and answer the channel it plays on, or none when it cannot be played there.
// The base clip makes a new base channel each time.
class TSoundClip : public TObject {
 public:
  virtual Ref<TPlayChannel> Start(const Ref<TPlayChannel>& channel);
  virtual Ref<TPlayChannel> StartPaused(const Ref<TPlayChannel>& channel);

  // A TSampleData source is used as it is; anything else is opened and decoded
  // by the sample loaders. None when nothing loads; any nonzero `flags` loops.
  static Ref<TSoundClip> Load(const Ref<TObject>& source, int32_t flags);
  static Ref<TSoundClip> Load(std::u16string_view url, int32_t flags);
};

// Makes clips and channels. The base class is the null backend: silent clips
// and channels that do nothing.
class TAudioBackend : public TObject {
 public:
  virtual Ref<TSoundClip> MakeClip(const Ref<TSampleData>& sample, int32_t flags);
  virtual Ref<TPlayChannel> ReserveChannel();
};

// The backend that makes clips and channels; none before InitAudioModule.
Ref<TAudioBackend> CurrentAudioBackend();
void InstallAudioBackend(const Ref<TAudioBackend>& backend);

// Forwards to the clip, channel or backend; a none clip or channel raises the
// null-object error.
Ref<TSoundClip> LoadClip(const Ref<TObject>& source, int32_t flags);
Ref<TSoundClip> LoadClip(std::u16string_view url, int32_t flags);
Ref<TPlayChannel> StartClip(const Ref<TSoundClip>& clip, const Ref<TPlayChannel>& channel);
// Starts the clip paused: it sounds from its first frame once resumed.
Ref<TPlayChannel> QueueClip(const Ref<TSoundClip>& clip, const Ref<TPlayChannel>& channel);
Ref<TPlayChannel> ReserveChannel();
void ChannelHalt(const Ref<TPlayChannel>& channel);
int32_t ChannelIsPlaying(const Ref<TPlayChannel>& channel);
void ChannelSetVolume(const Ref<TPlayChannel>& channel, float volume);
void ChannelSetPan(const Ref<TPlayChannel>& channel, float pan);
void ChannelSetDepth(const Ref<TPlayChannel>& channel, float depth);
void ChannelSetRate(const Ref<TPlayChannel>& channel, float rate);
void ChannelPause(const Ref<TPlayChannel>& channel);
void ChannelResume(const Ref<TPlayChannel>& channel);

// Initialises the samples and installs the null backend. Runs once.
void InitAudioModule();

}  // namespace kelpora
