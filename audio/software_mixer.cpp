#include "audio/software_mixer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "audio/output_choice.h"

namespace kelpora {

// ---- samples ----

pcmsample* pcmsample_create(int length, int bits, int channels, int rate, int loop) {
  if (length < 0 || (channels != 1 && channels != 2)) return nullptr;
  const int bytesPerSample = bits == 8 ? 1 : 2;
  const int64_t size = int64_t{length} * channels * bytesPerSample;
  if (size > std::numeric_limits<int>::max()) return nullptr;
  // Zero-filled: a sample played before all of it is written sounds silent.
  auto* data =
      static_cast<uint8_t*>(std::calloc(static_cast<size_t>(std::max<int64_t>(size, 1)), 1));
  if (!data) return nullptr;
  auto* pcm = new pcmsample;
  pcm->rate = rate;
  pcm->channels = channels;
  pcm->bits = bits;
  pcm->length = length;
  pcm->bytesPerFrame = channels * bytesPerSample;
  pcm->size = static_cast<int>(size);
  pcm->loop = loop;
  pcm->data = data;
  pcm->writePointer = data;
  return pcm;
}

pcmsample* pcmsample_createstream(int rate, int capacity) {
  if (rate < 1) return nullptr;
  auto* pcm = new pcmsample;
  pcm->rate = rate;
  pcm->channels = 2;
  pcm->bits = 16;
  pcm->bytesPerFrame = 4;
  pcm->ring = new streamring(capacity);
  return pcm;
}

void pcmsample_retain(pcmsample* pcm) { pcm->references.fetch_add(1, std::memory_order_relaxed); }

void pcmsample_release(pcmsample* pcm) {
  if (pcm && pcm->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    std::free(pcm->data);
    delete pcm->ring;
    delete pcm;
  }
}

// ---- voices ----

void sound::setrate(int32_t value) {
  targetRate.store(value, std::memory_order_relaxed);
  if (state.load(std::memory_order_relaxed) & VOICE_PAUSED)
    rate.store(value, std::memory_order_relaxed);
}

void sound::setvolume(int16_t value) {
  targetVolume.store(value, std::memory_order_relaxed);
  if (state.load(std::memory_order_relaxed) & VOICE_PAUSED)
    volume.store(value, std::memory_order_relaxed);
}

void sound::setpan(int16_t value) {
  targetPan.store(value, std::memory_order_relaxed);
  if (state.load(std::memory_order_relaxed) & VOICE_PAUSED)
    pan.store(value, std::memory_order_relaxed);
}

void sound::setdepth(int16_t value) { targetDepth.store(value, std::memory_order_relaxed); }

int32_t sound::getrate(int which) const { return (which ? targetRate : rate).load(); }
int16_t sound::getvolume(int which) const { return (which ? targetVolume : volume).load(); }
int16_t sound::getpan(int which) const { return (which ? targetPan : pan).load(); }
int16_t sound::getdepth(int which) const { return (which ? targetDepth : depth).load(); }

// The output thread may end the voice (store 0) at any moment; these only
// change a state that is not 0, so they never bring a finished voice back.
void sound::stop() {
  int s = state.load(std::memory_order_relaxed);
  while (s != VOICE_FREE && !state.compare_exchange_weak(s, VOICE_STOPPED)) {
  }
}

void sound::pause(bool paused) {
  int s = state.load(std::memory_order_relaxed);
  while (s != VOICE_FREE &&
         !state.compare_exchange_weak(s, paused ? s | VOICE_PAUSED : s & ~VOICE_PAUSED)) {
  }
}

void sound::resetsettings() {
  rate = MIX_RATE_UNITY;
  targetRate = MIX_RATE_UNITY;
  volume = MIX_VOLUME_UNITY;
  targetVolume = MIX_VOLUME_UNITY;
  pan = 0;
  targetPan = 0;
  depth = 0;
  targetDepth = 0;
}

// ---- the mixer, program-thread side ----

mixer::mixer(int count)
    : count(std::max(count, 0)),
      accumulator_(static_cast<size_t>(this->count)),
      spill_(static_cast<size_t>(this->count)),
      streamFrames_(2 * static_cast<size_t>(STREAM_RING_FRAMES)) {}

mixer::~mixer() {
  for (auto& voice : voices_) pcmsample_release(voice->pcm);
}

sound* mixer::takevoice(const sound* templ) {
  // Read the template first: it may be the very voice about to be reused.
  int32_t r = MIX_RATE_UNITY;
  int16_t v = MIX_VOLUME_UNITY, p = 0, d = 0;
  if (templ) {
    r = templ->getrate(1);
    v = templ->getvolume(1);
    p = templ->getpan(1);
    d = templ->getdepth(1);
  }
  sound* voice;
  const int fr = freeRead_.load(std::memory_order_relaxed);
  if (!spare_.empty()) {
    voice = spare_.back();
    spare_.pop_back();
  } else if (fr != freeWrite_.load(std::memory_order_acquire)) {
    voice = free_[fr];
    freeRead_.store((fr + 1) & (MIX_RING_SLOTS - 1), std::memory_order_release);
    voice->inflight = false;
    // A finished voice still holding its channel gives the channel back.
    if (voice->handle && channels && channels->voiceof(voice->handle) == voice)
      channels->release(voice->handle);
    voice->handle = 0;
  } else {
    voices_.push_back(std::make_unique<sound>(this));
    voice = voices_.back().get();
  }
  voice->resetsettings();
  if (templ) {
    voice->rate = r;
    voice->targetRate = r;
    voice->volume = v;
    voice->targetVolume = v;
    voice->pan = p;
    voice->targetPan = p;
    voice->depth = d;
    voice->targetDepth = d;
  }
  return voice;
}

void mixer::sparevoice(sound* voice) {
  voice->handle = 0;
  voice->state.store(VOICE_FREE, std::memory_order_relaxed);
  spare_.push_back(voice);
}

sound* mixer::start(pcmsample* pcm, const sound* templ, int state) {
  if (!pcm || pcm->channels == 0 || outputRate == 0) return nullptr;
  if (!pcm->ring && (pcm->length <= 0 || !pcm->data)) return nullptr;
  const int w = pendingWrite_.load(std::memory_order_relaxed);
  const int next = (w + 1) & (MIX_RING_SLOTS - 1);
  if (next == pendingRead_.load(std::memory_order_acquire)) return nullptr;  // ring full
  sound* voice = takevoice(templ);
  pcmsample_retain(pcm);
  voice->pcm = pcm;
  voice->position = 0;
  voice->state.store(state, std::memory_order_relaxed);
  voice->inflight = true;
  pending_[w] = voice;
  pendingWrite_.store(next, std::memory_order_release);
  return voice;
}

// ---- channel handles ----

channeltable::channeltable() {
  for (int i = 0; i < MIX_CHANNEL_SLOTS; ++i) {
    link_[i] = i + 1 < MIX_CHANNEL_SLOTS ? i + 1 : 0;
    generation_[i] = MIX_CHANNEL_SLOTS;
  }
}

int channeltable::allocate() {
  const int s = link_[0];
  if (s == 0) return 0;
  link_[0] = link_[s];
  link_[s] = 0;
  used_[s] = true;
  generation_[s] += MIX_CHANNEL_SLOTS;
  return static_cast<int>(generation_[s] | static_cast<uint32_t>(s));
}

bool channeltable::owns(int handle) const {
  const int s = handle & (MIX_CHANNEL_SLOTS - 1);
  return s != 0 && used_[s] &&
         (static_cast<uint32_t>(handle) & ~uint32_t{MIX_CHANNEL_SLOTS - 1}) == generation_[s];
}

void channeltable::release(int handle) {
  if (!owns(handle)) return;
  const int s = handle & (MIX_CHANNEL_SLOTS - 1);
  voice_[s] = nullptr;
  used_[s] = false;
  link_[s] = link_[0];
  link_[0] = s;
}

sound* channeltable::voiceof(int handle) const {
  return owns(handle) ? voice_[handle & (MIX_CHANNEL_SLOTS - 1)] : nullptr;
}

void channeltable::setvoice(int handle, sound* voice) {
  if (owns(handle)) voice_[handle & (MIX_CHANNEL_SLOTS - 1)] = voice;
}

sound* channeltable::lookup(int handle, mixer* m) {
  if (!owns(handle)) return nullptr;
  sound*& voice = voice_[handle & (MIX_CHANNEL_SLOTS - 1)];
  if (!voice) {
    // A reserved channel: a voice that only holds its settings until
    // something plays on it.
    sound* holder = m->takevoice(nullptr);
    holder->state.store(VOICE_FREE, std::memory_order_relaxed);
    voice = holder;
  }
  return voice;
}

// ---- devices ----

audiodevice::~audiodevice() { delete engine; }

sound* audiodevice::play(pcmsample* pcm, const sound* templ, int paused) {
  if (!engine || !pcm) return nullptr;
  int state = pcm->loop ? VOICE_LOOPED : VOICE_ONCE;
  if (paused) state |= VOICE_PAUSED;
  return engine->start(pcm, templ, state);
}

int offlineaudio::open() {
  if (!engine) {
    engine = new mixer(2048);
    engine->outputRate = MIX_OUTPUT_RATE;
    engine->outputChannels = 2;
  }
  return 0;
}

void offlineaudio::render(int16_t* out, int frames) {
  if (engine) engine->mix(out, 2 * frames);
}

// ---- the flat interface ----

namespace {

audiodevice* device = nullptr;
std::unique_ptr<channeltable> table;

mixer* Engine() { return device ? device->engine : nullptr; }

sound* Lookup(int handle) {
  return handle && table && Engine() ? table->lookup(handle, Engine()) : nullptr;
}

// float × scale, truncated toward zero and held within [lo, hi]; NaN gives 0.
template <typename T>
T Fixed(float value, double scale) {
  const double x = std::trunc(static_cast<double>(value) * scale);
  if (std::isnan(x)) return 0;
  return static_cast<T>(
      std::clamp<double>(x, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
}

// Takes a channel's voice out of the table: a started voice stops, a voice
// that only held settings goes back to the pool.
void Detach(sound* voice) {
  if (!voice) return;
  if (voice->inflight) {
    voice->stop();
    voice->handle = 0;
  } else {
    Engine()->sparevoice(voice);
  }
}

}  // namespace

int audio_open() { return audio_open(audio_choosedevice()); }

int audio_open(std::unique_ptr<audiodevice> dev) {
  if (device) audio_close();
  if (!dev) return -1;
  if (dev->open() != 0 || !dev->engine) {
    dev->close();
    dev.release()->dispose();
    return -1;
  }
  device = dev.release();
  table = std::make_unique<channeltable>();
  device->engine->channels = table.get();
  return 0;
}

int audio_close() {
  if (!device) return 0;
  device->engine->channels = nullptr;
  table.reset();
  device->close();
  device->dispose();
  device = nullptr;
  return 0;
}

audiodevice* audio_device() { return device; }

int audio_play(pcmsample* pcm, int paused, int handle) {
  if (!device || !pcm) return handle;
  sound* templ = Lookup(handle);
  int h = templ ? handle : 0;  // a handle that does not resolve gets a new channel
  // The handle passes to the new voice. The previous voice lets go of it
  // before a voice is taken, so that recycling it cannot free the channel.
  const bool carried = templ && templ->handle == h;
  if (carried) templ->handle = 0;
  sound* voice = device->play(pcm, templ, paused);
  if (!voice) {
    if (carried) templ->handle = h;
    return 0;
  }
  if (!h) h = table->allocate();
  if (h) {
    sound* previous = table->voiceof(h);
    if (previous != voice) Detach(previous);
    table->setvoice(h, voice);
    voice->handle = h;
  }
  return h;
}

int audio_allocchannel() { return table && device ? table->allocate() : 0; }

void audio_freechannel(int handle) {
  if (!table || !device) return;
  sound* voice = table->voiceof(handle);
  if (!table->owns(handle)) return;
  table->release(handle);
  Detach(voice);
}

int audio_channelstate(int handle) {
  sound* voice = Lookup(handle);
  return voice ? voice->state.load() : 0;
}

void audio_stopchannel(int handle) {
  if (sound* voice = Lookup(handle)) voice->stop();
}

void audio_pausechannel(int handle, int paused) {
  if (sound* voice = Lookup(handle)) voice->pause(paused != 0);
}

void audio_setvolume(int handle, float volume) {
  if (sound* voice = Lookup(handle)) voice->setvolume(Fixed<int16_t>(volume, 4096));
}

void audio_setrate(int handle, float rate) {
  if (sound* voice = Lookup(handle)) voice->setrate(Fixed<int32_t>(rate, 65536));
}

void audio_setpan(int handle, float pan) {
  if (sound* voice = Lookup(handle)) voice->setpan(Fixed<int16_t>(pan, 4096));
}

void audio_setdepth(int handle, float depth) {
  if (sound* voice = Lookup(handle)) voice->setdepth(Fixed<int16_t>(depth, 4096));
}

pcmsample* audio_newsample(int length, int bits, int channels, int rate, const void* data,
                           int loop) {
  if (!table) return nullptr;
  pcmsample* pcm = pcmsample_create(length, bits, channels, rate, loop);
  if (pcm && data) {
    std::memcpy(pcm->data, data, static_cast<size_t>(pcm->size));
    pcm->written = length;
    pcm->writePointer = pcm->data + pcm->size;
  }
  return pcm;
}

int audio_writesample(pcmsample* pcm, const void* data, int frames) {
  if (!pcm || !data || frames <= 0) return 0;
  const int n = std::min(frames, pcm->length - pcm->written);
  if (n <= 0) return 0;
  const size_t bytes = static_cast<size_t>(n) * static_cast<size_t>(pcm->bytesPerFrame);
  std::memcpy(pcm->writePointer, data, bytes);
  pcm->writePointer += bytes;
  pcm->written += n;
  return n;
}

int64_t audio_streamsilence() { return Engine() ? Engine()->streamsilence() : 0; }

// The reference is dropped even after audio_close: the count alone decides
// when the data may go, and a clip outliving the device must not leak it.
void audio_releasesample(pcmsample* pcm) { pcmsample_release(pcm); }

}  // namespace kelpora
