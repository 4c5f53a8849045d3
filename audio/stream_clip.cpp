#include "audio/stream_clip.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/loaders/ogg_loader.h"
#include "audio/mixer_backend.h"
#include "audio/sample.h"
#include "audio/software_mixer.h"
#include "runtime/errors.h"
#include "runtime/startup.h"
#include "stream/stream.h"

namespace kelpora {

// One start of a streamed clip: its decoder and the sample whose ring it
// fills. The decoder thread decodes only while holding `lock`; the program
// thread takes it to prime a new start or to take the decoder over.
struct StreamFeed {
  std::mutex lock;
  std::unique_ptr<TOggDecoder> decoder;
  pcmsample* pcm = nullptr;  // one reference, given back once the voice let go of its own
  bool loop = false;
  bool ended = false;         // the ring is finished
  int64_t sinceRewind = 0;    // frames decoded since the start or the last loop
};

namespace {

// Frames decoded by a start before the voice is handed to the output thread,
// so that its first passes never wait for the decoder thread (about 93 ms).
constexpr int PRIME_FRAMES = 4096;
// Frames decoded for one ring before the other rings get their turn.
constexpr int CHUNK_FRAMES = 8192;
// How long the decoder thread sleeps when every ring is topped up: a ring
// holds far more than this, so it never runs low between two looks.
constexpr auto IDLE_WAIT = std::chrono::milliseconds(20);
constexpr auto STOP_WAIT = std::chrono::seconds(2);

void Finish(StreamFeed& feed) {
  feed.pcm->ring->finish();
  feed.ended = true;
}

// Decodes into the feed's ring until it is full, `most` frames went in, or
// the stream ended (a looping feed rewinds instead, unless a whole pass gave
// nothing). The caller holds feed.lock. True when `most` ran out first.
bool Fill(StreamFeed& feed, int most) {
  streamring* ring = feed.pcm->ring;
  constexpr int MONO_SLICE = 4096;
  int16_t mono[MONO_SLICE];
  int written = 0;
  try {
    while (!feed.ended && written < most) {
      int room = 0;
      int16_t* at = ring->writeregion(room);
      if (room == 0) return false;
      room = std::min(room, most - written);
      int n;
      if (feed.decoder->Channels() == 1) {
        n = feed.decoder->Read(mono, std::min(room, MONO_SLICE));
        if (n > 0) ConvertPcm(mono, SAMPLE_MONO16LE, at, SAMPLE_STEREO16LE, n);
      } else {
        n = feed.decoder->Read(at, room);
      }
      if (n > 0) {
        ring->publish(n);
        written += n;
        feed.sinceRewind += n;
      } else if (n == 0 && feed.loop && feed.sinceRewind > 0 && feed.decoder->Rewind()) {
        feed.sinceRewind = 0;
      } else {
        Finish(feed);
      }
    }
  } catch (const TRuntimeError&) {
    // The stream failed under the decoder: what was decoded plays, then the voice ends.
    Finish(feed);
  }
  return !feed.ended && written >= most && ring->writable() > 0;
}

// The audio module's decoder thread and the feeds it keeps filled. Made on
// the first start of a streamed clip; stopped at process exit.
class DecoderThread {
 public:
  static DecoderThread& Get() {
    // Never destroyed: the exit hook stops the thread, and nothing may run
    // its destructor while a late start could still reach it.
    static DecoderThread* instance = new DecoderThread;
    return *instance;
  }

  void Add(std::shared_ptr<StreamFeed> feed) {
    std::lock_guard<std::mutex> guard(mutex_);
    feeds_.push_back(std::move(feed));
    if (!thread_.joinable() && !stop_) {
      thread_ = std::thread([this] { Run(); });
      AddExitHook(StopAtExit);
    }
    wake_.notify_all();
  }

  bool WaitForRefill(int milliseconds) {
    std::unique_lock<std::mutex> guard(mutex_);
    if (!thread_.joinable()) return true;
    const uint64_t after = round_ + 1;
    wake_.notify_all();
    return refilled_.wait_for(guard, std::chrono::milliseconds(milliseconds),
                              [&] { return idleRound_ >= after || stop_; });
  }

  int64_t CpuTime() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!thread_.joinable()) return 0;
    clockid_t clock;
    timespec time{};
    if (pthread_getcpuclockid(thread_.native_handle(), &clock) != 0 ||
        clock_gettime(clock, &time) != 0)
      return 0;
    return int64_t{time.tv_sec} * 1000000000 + time.tv_nsec;
  }

 private:
  static void StopAtExit() { Get().Stop(); }

  // A decoder stuck in a read that never returns (a stalled network stream)
  // must not hold the process back: after a while it is left to the exit.
  void Stop() {
    std::unique_lock<std::mutex> guard(mutex_);
    stop_ = true;
    wake_.notify_all();
    if (!thread_.joinable()) return;
    if (!refilled_.wait_for(guard, STOP_WAIT, [&] { return ended_; })) {
      thread_.detach();
      return;
    }
    guard.unlock();
    thread_.join();
    guard.lock();
    for (auto& feed : feeds_) Drop(*feed);
    feeds_.clear();
  }

  // Gives back the feed's reference to its sample (feed.lock not held).
  static void Drop(StreamFeed& feed) {
    std::lock_guard<std::mutex> guard(feed.lock);
    pcmsample_release(std::exchange(feed.pcm, nullptr));
  }

  void Run() {
    std::unique_lock<std::mutex> guard(mutex_);
    while (!stop_) {
      const uint64_t round = ++round_;
      std::vector<std::shared_ptr<StreamFeed>> feeds = feeds_;
      guard.unlock();
      bool more = false;
      for (auto& feed : feeds) {
        std::lock_guard<std::mutex> feedGuard(feed->lock);
        if (!feed->pcm) continue;
        // Only the feed still holds the sample: the voice ended or was
        // halted, and its frames are no longer wanted.
        if (feed->pcm->references.load(std::memory_order_acquire) == 1) {
          pcmsample_release(std::exchange(feed->pcm, nullptr));
          continue;
        }
        if (feed->decoder && Fill(*feed, CHUNK_FRAMES)) more = true;
      }
      feeds.clear();
      guard.lock();
      std::erase_if(feeds_, [](const std::shared_ptr<StreamFeed>& feed) {
        std::lock_guard<std::mutex> feedGuard(feed->lock);
        return feed->pcm == nullptr;
      });
      if (!more) {
        idleRound_ = round;
        refilled_.notify_all();
        wake_.wait_for(guard, IDLE_WAIT);
      }
    }
    ended_ = true;
    refilled_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable refilled_;
  std::vector<std::shared_ptr<StreamFeed>> feeds_;
  uint64_t round_ = 0;      // rounds begun
  uint64_t idleRound_ = 0;  // the last round that left every ring topped up
  bool stop_ = false;
  bool ended_ = false;  // Run has returned
  std::thread thread_;
};

std::unique_ptr<TOggDecoder> OpenDecoder(const Ref<TDataStream>& stream) {
  if (!stream) return nullptr;
  auto decoder = std::make_unique<TOggDecoder>(stream);
  try {
    if (decoder->Open()) return decoder;
  } catch (const TStreamError&) {
    // A stream that fails while the headers are read is no Ogg stream.
  }
  return nullptr;
}

Ref<TSoundClip> MakeStreamClip(const Ref<TDataStream>& stream, Ref<TObject> source, String url,
                               int32_t flags) {
  std::unique_ptr<TOggDecoder> decoder = OpenDecoder(stream);
  if (!decoder) return nullptr;
  if (flags != 0 && !decoder->Seekable())
    RaiseError(u"Streamed clip cannot loop: the stream is not seekable");
  if (!RefCast<TMixerBackend>(CurrentAudioBackend())) return MakeRef<TSoundClip>();
  Ref<TStreamClip> clip = MakeRef<TStreamClip>();
  clip->source = std::move(source);
  clip->url = std::move(url);
  clip->loop = flags != 0;
  clip->ready = std::move(decoder);
  return clip;
}

}  // namespace

TStreamClip::~TStreamClip() = default;

Ref<TPlayChannel> TStreamClip::Start(const Ref<TPlayChannel>& channel) {
  return Play(channel, 0);
}

Ref<TPlayChannel> TStreamClip::StartPaused(const Ref<TPlayChannel>& channel) {
  return Play(channel, 1);
}

std::unique_ptr<TOggDecoder> TStreamClip::TakeDecoder() {
  if (ready) return std::move(ready);
  if (RefCast<TDataStream>(source)) {
    // One stream, one decoder: the newest start takes it from the last one.
    if (!last) return nullptr;
    std::unique_ptr<TOggDecoder> decoder;
    {
      std::lock_guard<std::mutex> guard(last->lock);
      decoder = std::move(last->decoder);
      if (last->pcm && !last->ended) Finish(*last);
    }
    try {
      if (decoder && decoder->Rewind()) return decoder;
    } catch (const TStreamError&) {
    }
    return nullptr;
  }
  return OpenDecoder(source ? OpenForReading(source) : OpenForReading(url));
}

Ref<TPlayChannel> TStreamClip::Play(const Ref<TPlayChannel>& channel, int paused) {
  Ref<TMixerChannel> mine = RefCast<TMixerChannel>(channel);
  if (channel && !mine) return nullptr;
  std::unique_ptr<TOggDecoder> decoder = TakeDecoder();
  if (!decoder) return nullptr;
  auto feed = std::make_shared<StreamFeed>();
  feed->pcm = pcmsample_createstream(decoder->Rate());
  feed->loop = loop;
  feed->decoder = std::move(decoder);
  {
    std::lock_guard<std::mutex> guard(feed->lock);
    Fill(*feed, PRIME_FRAMES);
  }
  const int32_t handle = mine ? mine->handle : 0;
  const int32_t result = audio_play(feed->pcm, paused, handle);
  if (result == 0) {
    // Refused (no output, no free voice): the decoder waits for the next start.
    try {
      if (feed->decoder->Rewind()) ready = std::move(feed->decoder);
    } catch (const TStreamError&) {
    }
    pcmsample_release(feed->pcm);
    return nullptr;
  }
  last = feed;
  DecoderThread::Get().Add(std::move(feed));
  if (mine && result == handle) return mine;
  return TMixerChannel::FromHandle(result);
}

Ref<TSoundClip> StreamClip(const Ref<TObject>& source, int32_t flags) {
  Ref<TDataStream> stream = OpenForReading(source);
  return MakeStreamClip(stream, RefCast<TDataStream>(source) ? Ref<TObject>(stream) : source, {},
                        flags);
}

Ref<TSoundClip> StreamClip(std::u16string_view url, int32_t flags) {
  return MakeStreamClip(OpenForReading(url), nullptr, String(url), flags);
}

bool WaitForStreamRefill(int milliseconds) {
  return DecoderThread::Get().WaitForRefill(milliseconds);
}

int64_t StreamedSilenceFrames() { return audio_streamsilence(); }

int64_t StreamDecoderCpuTime() { return DecoderThread::Get().CpuTime(); }

}  // namespace kelpora
