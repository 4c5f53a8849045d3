#include "audio/mixer_backend.h"

#include "audio/sample.h"
#include "audio/software_mixer.h"
#include "runtime/startup.h"

namespace kelpora {

namespace {

void CloseAudioAtExit() { audio_close(); }

}  // namespace

Ref<TSoundClip> TMixerBackend::MakeClip(const Ref<TSampleData>& sample, int32_t flags) {
  // A sample already in the mixer's layout is copied once, straight into the
  // mixer; converting it first would only make a second full copy.
  Ref<TSampleData> stereo =
      sample->format == SAMPLE_STEREO16LE ? sample : sample->Convert(SAMPLE_STEREO16LE);
  pcmsample* pcm =
      audio_newsample(stereo->length, 16, 2, stereo->rate, stereo->data, flags != 0 ? -1 : 0);
  return TMixerClip::FromPcm(pcm);
}

Ref<TPlayChannel> TMixerBackend::ReserveChannel() {
  int32_t handle = audio_allocchannel();
  if (handle == 0) return nullptr;
  return TMixerChannel::FromHandle(handle);
}

Ref<TMixerClip> TMixerClip::FromPcm(pcmsample* pcm) {
  Ref<TMixerClip> clip = MakeRef<TMixerClip>();
  clip->pcm = pcm;
  return clip;
}

TMixerClip::~TMixerClip() { audio_releasesample(pcm); }

Ref<TPlayChannel> TMixerClip::Start(const Ref<TPlayChannel>& channel) { return Play(channel, 0); }
Ref<TPlayChannel> TMixerClip::StartPaused(const Ref<TPlayChannel>& channel) {
  return Play(channel, 1);
}

Ref<TPlayChannel> TMixerClip::Play(const Ref<TPlayChannel>& channel, int paused) {
  Ref<TMixerChannel> mine = RefCast<TMixerChannel>(channel);
  if (channel && !mine) return nullptr;
  int32_t handle = mine ? mine->handle : 0;
  int32_t result = audio_play(pcm, paused, handle);
  if (result == 0) return nullptr;
  if (mine && result == handle) return mine;
  return TMixerChannel::FromHandle(result);
}

Ref<TMixerChannel> TMixerChannel::FromHandle(int32_t handle) {
  Ref<TMixerChannel> channel = MakeRef<TMixerChannel>();
  channel->handle = handle;
  return channel;
}

void TMixerChannel::Halt() { audio_stopchannel(handle); }
void TMixerChannel::SetPaused(int32_t paused) { audio_pausechannel(handle, paused); }
void TMixerChannel::SetVolume(float volume) { audio_setvolume(handle, volume); }
void TMixerChannel::SetPan(float pan) { audio_setpan(handle, pan); }
void TMixerChannel::SetDepth(float depth) { audio_setdepth(handle, depth); }
void TMixerChannel::SetRate(float rate) { audio_setrate(handle, rate); }
int32_t TMixerChannel::IsPlaying() { return (audio_channelstate(handle) & ~1) != 0 ? 1 : 0; }

void InitMixerBackendModule() {
  static bool done = false;
  if (done) return;
  done = true;
  InitAudioModule();
  if (audio_open() == -1) return;
  AddExitHook(CloseAudioAtExit);
  InstallAudioBackend(MakeRef<TMixerBackend>());
}

}  // namespace kelpora
