#include "audio/clips_channels.h"

#include "audio/loaders/sample_loader.h"
#include "audio/sample.h"
#include "runtime/load_errors.h"

namespace kelpora {

namespace {

Ref<TAudioBackend>& Backend() {
  static Ref<TAudioBackend> backend;
  return backend;
}

}  // namespace

void TPlayChannel::Halt() {}
void TPlayChannel::SetPaused(int32_t) {}
void TPlayChannel::SetVolume(float) {}
void TPlayChannel::SetPan(float) {}
void TPlayChannel::SetDepth(float) {}
void TPlayChannel::SetRate(float) {}
int32_t TPlayChannel::IsPlaying() { return 0; }

Ref<TPlayChannel> TSoundClip::Start(const Ref<TPlayChannel>&) { return MakeRef<TPlayChannel>(); }
Ref<TPlayChannel> TSoundClip::StartPaused(const Ref<TPlayChannel>&) {
  return MakeRef<TPlayChannel>();
}

Ref<TSoundClip> TSoundClip::Load(const Ref<TObject>& source, int32_t flags) {
  Ref<TSampleData> sample = RefCast<TSampleData>(source);
  if (!sample) sample = LoadSample(source);
  if (!sample) return nullptr;
  return Backend()->MakeClip(sample, flags);
}

Ref<TSoundClip> TSoundClip::Load(std::u16string_view url, int32_t flags) {
  Ref<TSampleData> sample = LoadSample(url);
  if (!sample) return nullptr;
  return Backend()->MakeClip(sample, flags);
}

Ref<TSoundClip> TAudioBackend::MakeClip(const Ref<TSampleData>&, int32_t) {
  return MakeRef<TSoundClip>();
}
Ref<TPlayChannel> TAudioBackend::ReserveChannel() { return MakeRef<TPlayChannel>(); }

Ref<TAudioBackend> CurrentAudioBackend() { return Backend(); }
void InstallAudioBackend(const Ref<TAudioBackend>& backend) { Backend() = backend; }

Ref<TSoundClip> LoadClip(const Ref<TObject>& source, int32_t flags) {
  TLoadAttempt attempt(u"LoadClip", SourceName(source));
  return attempt.Finish(TSoundClip::Load(source, flags));
}
Ref<TSoundClip> LoadClip(std::u16string_view url, int32_t flags) {
  TLoadAttempt attempt(u"LoadClip", url);
  return attempt.Finish(TSoundClip::Load(url, flags));
}
Ref<TPlayChannel> StartClip(const Ref<TSoundClip>& clip, const Ref<TPlayChannel>& channel) {
  return clip->Start(channel);
}
Ref<TPlayChannel> QueueClip(const Ref<TSoundClip>& clip, const Ref<TPlayChannel>& channel) {
  return clip->StartPaused(channel);
}
Ref<TPlayChannel> ReserveChannel() { return Backend()->ReserveChannel(); }
void ChannelHalt(const Ref<TPlayChannel>& channel) { channel->Halt(); }
int32_t ChannelIsPlaying(const Ref<TPlayChannel>& channel) { return channel->IsPlaying(); }
void ChannelSetVolume(const Ref<TPlayChannel>& channel, float volume) {
  channel->SetVolume(volume);
}
void ChannelSetPan(const Ref<TPlayChannel>& channel, float pan) { channel->SetPan(pan); }
void ChannelSetDepth(const Ref<TPlayChannel>& channel, float depth) { channel->SetDepth(depth); }
void ChannelSetRate(const Ref<TPlayChannel>& channel, float rate) { channel->SetRate(rate); }
void ChannelPause(const Ref<TPlayChannel>& channel) { channel->SetPaused(1); }
void ChannelResume(const Ref<TPlayChannel>& channel) { channel->SetPaused(0); }

void InitAudioModule() {
  static bool done = false;
  if (done) return;
  done = true;
  InitSampleModule();
  InstallAudioBackend(MakeRef<TAudioBackend>());
}

}  // namespace kelpora
