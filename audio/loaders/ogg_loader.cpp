#include "audio/loaders/ogg_loader.h"

#include <vorbis/vorbisfile.h>

#include <cerrno>
#include <climits>
#include <exception>

#include "runtime/load_errors.h"
#include "stream/stream.h"

namespace kelpora {

namespace {

constexpr int MAX_DOWNMIX_CHANNELS = 8;
constexpr int FULL = 16384;        // 1.0
constexpr int HALF_POWER = 11585;  // 1/sqrt(2)
constexpr int HALF = 8192;         // 1/2

struct Weights {
  int left, right;
};

// Per channel count, per channel in the Vorbis order.
constexpr Weights DOWNMIX[MAX_DOWNMIX_CHANNELS + 1][MAX_DOWNMIX_CHANNELS] = {
    {},
    {},
    {},
    // left, centre, right
    {{FULL, 0}, {HALF_POWER, HALF_POWER}, {0, FULL}},
    // front left, front right, rear left, rear right
    {{FULL, 0}, {0, FULL}, {HALF_POWER, 0}, {0, HALF_POWER}},
    // front left, centre, front right, rear left, rear right
    {{FULL, 0}, {HALF_POWER, HALF_POWER}, {0, FULL}, {HALF_POWER, 0}, {0, HALF_POWER}},
    // ... and the low-frequency channel
    {{FULL, 0}, {HALF_POWER, HALF_POWER}, {0, FULL}, {HALF_POWER, 0}, {0, HALF_POWER}, {0, 0}},
    // front left, centre, front right, side left, side right, rear centre, LFE
    {{FULL, 0},
     {HALF_POWER, HALF_POWER},
     {0, FULL},
     {HALF_POWER, 0},
     {0, HALF_POWER},
     {HALF, HALF},
     {0, 0}},
    // front left, centre, front right, side left, side right, rear left, rear right, LFE
    {{FULL, 0},
     {HALF_POWER, HALF_POWER},
     {0, FULL},
     {HALF_POWER, 0},
     {0, HALF_POWER},
     {HALF_POWER, 0},
     {0, HALF_POWER},
     {0, 0}},
};

// The stream behind vorbisfile's callbacks. Framework errors cannot travel
// through the C library, so the callbacks keep the first one here and report
// a plain failure; the loader raises it again once vorbisfile has returned.
struct Source {
  TDataStream* stream;
  std::exception_ptr error;
};

size_t ReadCallback(void* buffer, size_t size, size_t count, void* datasource) {
  auto* source = static_cast<Source*>(datasource);
  if (size == 0 || count == 0 || source->error) return 0;
  if (count > size_t(INT_MAX) / size) count = size_t(INT_MAX) / size;
  try {
    const int got = ReadAvailable(*source->stream, buffer, int(size * count));
    return size_t(got) / size;
  } catch (...) {
    source->error = std::current_exception();
    errno = EIO;
    return 0;
  }
}

int SeekCallback(void* datasource, ogg_int64_t offset, int whence) {
  auto* source = static_cast<Source*>(datasource);
  if (source->error) return -1;
  try {
    int64_t target;
    switch (whence) {
      case SEEK_SET:
        target = offset;
        break;
      case SEEK_CUR:
        target = offset + source->stream->Pos();
        break;
      case SEEK_END:
        target = offset + source->stream->Size();
        break;
      default:
        return -1;
    }
    // Streams have 32-bit positions: an offset beyond them is no place at all.
    if (target < 0 || target > INT_MAX) return -1;
    return source->stream->Seek(int(target)) >= 0 ? 0 : -1;
  } catch (...) {
    source->error = std::current_exception();
    return -1;
  }
}

int CloseCallback(void*) { return 0; }  // LoadSample closes the stream

long TellCallback(void* datasource) {
  auto* source = static_cast<Source*>(datasource);
  if (source->error) return -1;
  try {
    return source->stream->Pos();
  } catch (...) {
    source->error = std::current_exception();
    return -1;
  }
}

// Vorbis packets are at least a byte and decode to at most 4096 frames; with
// the Ogg page overhead no honest stream holds more frames than this per
// byte. Announced totals beyond it are corrupt and are not allocated.
constexpr int64_t MAX_FRAMES_PER_BYTE = 4096;

class Decoder {
 public:
  explicit Decoder(TDataStream& stream)
      : source_{&stream, nullptr}, bytes_(int64_t(stream.Size()) - stream.Pos()) {}
  ~Decoder() {
    if (open_) ov_clear(&file_);
  }

  bool Open() {
    const ov_callbacks callbacks = {ReadCallback, SeekCallback, CloseCallback, TellCallback};
    open_ = ov_open_callbacks(&source_, &file_, nullptr, 0, callbacks) == 0;
    RaiseKeptError();
    return open_;
  }

  Ref<TSampleData> Decode() {
    const int64_t total = ov_pcm_total(&file_, 0);
    const vorbis_info* info = ov_info(&file_, -1);
    if (total < 0 || !info || info->channels < 1 || info->rate < 1 || info->rate > INT_MAX)
      return {};
    channels_ = info->channels;
    rate_ = info->rate;
    if (channels_ > MAX_DOWNMIX_CHANNELS) return {};
    if (total > INT_MAX || (bytes_ > 0 && total > bytes_ * MAX_FRAMES_PER_BYTE)) return {};

    Ref<TSampleData> sample = TSampleData::Create(
        int(total), int(rate_), channels_ == 1 ? SAMPLE_MONO16LE : SAMPLE_STEREO16LE);
    if (!sample) return {};
    const int decoded = channels_ <= 2 ? DecodeDirect(*sample) : DecodeDownmixed(*sample);
    if (decoded < 0) return {};
    sample->Shorten(decoded);
    return sample;
  }

 private:
  // ov_read into `out`; the frames it gave, 0 at the end or at a change of
  // layout, -1 when decoding failed.
  int ReadFrames(char* out, int64_t maxFrames) {
    const int frameBytes = 2 * channels_;
    const int64_t want = maxFrames * frameBytes;
    int link = 0;
    const long n = ov_read(&file_, out, int(want < (1 << 30) ? want : (1 << 30)), 0, 2, 1, &link);
    RaiseKeptError();
    if (n < 0) return -1;
    if (n == 0) return 0;
    const vorbis_info* info = ov_info(&file_, link);
    if (!info || info->channels != channels_ || info->rate != rate_) return 0;
    return int(n / frameBytes);
  }

  int DecodeDirect(TSampleData& sample) {
    int done = 0;
    while (done < sample.length) {
      const int n = ReadFrames(reinterpret_cast<char*>(sample.data) + int64_t(done) * 2 * channels_,
                               sample.length - done);
      if (n < 0) return -1;
      if (n == 0) break;
      done += n;
    }
    return done;
  }

  int DecodeDownmixed(TSampleData& sample) {
    constexpr int SLICE = 1024;
    int16_t pcm[SLICE * MAX_DOWNMIX_CHANNELS];
    auto* out = reinterpret_cast<int16_t*>(sample.data);
    int done = 0;
    while (done < sample.length) {
      const int want = sample.length - done < SLICE ? sample.length - done : SLICE;
      const int n = ReadFrames(reinterpret_cast<char*>(pcm), want);
      if (n < 0) return -1;
      if (n == 0) break;
      DownmixToStereo(pcm, channels_, out + int64_t(done) * 2, n);
      done += n;
    }
    return done;
  }

  void RaiseKeptError() {
    if (source_.error) std::rethrow_exception(std::exchange(source_.error, nullptr));
  }

  Source source_;
  int64_t bytes_;  // from the start to the end of the stream
  OggVorbis_File file_{};
  bool open_ = false;
  int channels_ = 0;
  long rate_ = 0;
};

}  // namespace

void DownmixToStereo(const int16_t* in, int channels, int16_t* out, int frames) {
  if (channels < 3 || channels > MAX_DOWNMIX_CHANNELS) return;
  const Weights* weights = DOWNMIX[channels];
  int leftSum = 0, rightSum = 0;
  for (int c = 0; c < channels; ++c) {
    leftSum += weights[c].left;
    rightSum += weights[c].right;
  }
  for (int i = 0; i < frames; ++i) {
    const int16_t* frame = in + int64_t(i) * channels;
    int left = 0, right = 0;
    for (int c = 0; c < channels; ++c) {
      left += frame[c] * weights[c].left;
      right += frame[c] * weights[c].right;
    }
    out[2 * i] = int16_t(left / leftSum);
    out[2 * i + 1] = int16_t(right / rightSum);
  }
}

Ref<TSampleData> TOggSampleLoader::LoadSample(const Ref<TDataStream>& stream) {
  Decoder decoder(*stream);
  if (!decoder.Open()) return {};
  return decoder.Decode();
}

void InitOggLoader() {
  static bool initialised = false;
  if (initialised) return;
  initialised = true;
  InitSampleModule();
  InitStreamModule();
  MakeRef<TOggSampleLoader>();
  NoteLoaderReady(u"Ogg");
}

}  // namespace kelpora
