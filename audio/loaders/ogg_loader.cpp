#include "audio/loaders/ogg_loader.h"

#include <vorbis/vorbisfile.h>

#include <cerrno>
#include <climits>
#include <exception>
#include <utility>

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
    // A stream without a position has no end to wait for: what one read
    // gives is all there is for now, and 0 is the end.
    const int got = source->stream->Pos() == -1
                        ? source->stream->Read(buffer, int(size * count))
                        : ReadAvailable(*source->stream, buffer, int(size * count));
    return size_t(got > 0 ? got : 0) / size;
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

}  // namespace

struct TOggDecoder::State {
  Source source;
  OggVorbis_File file{};
  bool open = false;
};

TOggDecoder::TOggDecoder(const Ref<TDataStream>& stream)
    : stream_(stream), state_(std::make_unique<State>()) {
  state_->source = {stream.get(), nullptr};
}

TOggDecoder::~TOggDecoder() {
  if (state_->open) ov_clear(&state_->file);
}

bool TOggDecoder::Open() {
  const ov_callbacks callbacks = {ReadCallback, SeekCallback, CloseCallback, TellCallback};
  state_->open = ov_open_callbacks(&state_->source, &state_->file, nullptr, 0, callbacks) == 0;
  RaiseKeptError();
  if (!state_->open) return false;
  const vorbis_info* info = ov_info(&state_->file, -1);
  if (!info || info->channels < 1 || info->channels > MAX_DOWNMIX_CHANNELS || info->rate < 1 ||
      info->rate > INT_MAX)
    return false;
  channels_ = info->channels;
  rate_ = info->rate;
  seekable_ = ov_seekable(&state_->file) != 0;
  length_ = seekable_ ? ov_pcm_total(&state_->file, 0) : -1;
  if (seekable_ && length_ < 0) return false;
  left_ = length_;
  return true;
}

int TOggDecoder::Read(int16_t* out, int frames) {
  if (frames <= 0 || left_ == 0) return 0;
  if (left_ > 0 && frames > left_) frames = int(left_);
  const int n = channels_ <= 2 ? ReadFrames(reinterpret_cast<char*>(out), frames)
                               : ReadDownmixed(out, frames);
  if (n > 0 && left_ > 0) left_ -= n;
  return n;
}

int TOggDecoder::ReadFrames(char* out, int frames) {
  const int frameBytes = 2 * channels_;
  const int64_t want = int64_t(frames) * frameBytes;
  for (;;) {
    int link = 0;
    const long n =
        ov_read(&state_->file, out, int(want < (1 << 30) ? want : (1 << 30)), 0, 2, 1, &link);
    RaiseKeptError();
    // A hole (a damaged or missing page) only loses its own stretch.
    if (n == OV_HOLE) continue;
    if (n < 0) return -1;
    if (n == 0) return 0;
    const vorbis_info* info = ov_info(&state_->file, link);
    if (!info || info->channels != channels_ || info->rate != rate_) return 0;
    return int(n / frameBytes);
  }
}

int TOggDecoder::ReadDownmixed(int16_t* out, int frames) {
  constexpr int SLICE = 1024;
  int16_t pcm[SLICE * MAX_DOWNMIX_CHANNELS];
  const int n = ReadFrames(reinterpret_cast<char*>(pcm), frames < SLICE ? frames : SLICE);
  if (n > 0) DownmixToStereo(pcm, channels_, out, n);
  return n;
}

bool TOggDecoder::Rewind() {
  if (!seekable_ || ov_pcm_seek(&state_->file, 0) != 0) {
    RaiseKeptError();
    return false;
  }
  left_ = length_;
  return true;
}

void TOggDecoder::RaiseKeptError() {
  if (state_->source.error) std::rethrow_exception(std::exchange(state_->source.error, nullptr));
}

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
  const int64_t bytes = int64_t(stream->Size()) - stream->Pos();
  TOggDecoder decoder(stream);
  if (!decoder.Open() || decoder.Length() < 0) return {};
  const int64_t total = decoder.Length();
  if (total > INT_MAX || (bytes > 0 && total > bytes * MAX_FRAMES_PER_BYTE)) return {};
  Ref<TSampleData> sample = TSampleData::Create(
      int(total), decoder.Rate(), decoder.Channels() == 1 ? SAMPLE_MONO16LE : SAMPLE_STEREO16LE);
  if (!sample) return {};
  const int frameBytes = 2 * decoder.Channels();
  int done = 0;
  while (done < sample->length) {
    const int n = decoder.Read(
        reinterpret_cast<int16_t*>(sample->data + int64_t(done) * frameBytes), sample->length - done);
    if (n < 0) return {};
    if (n == 0) break;
    done += n;
  }
  sample->Shorten(done);
  return sample;
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
