#include "audio/loaders/wav_loader.h"

#include <cstring>

#include "runtime/load_errors.h"
#include "stream/endian_stream.h"
#include "stream/stream.h"

namespace kelpora {

namespace {

bool ReadTag(TDataStream& in, const char* expected) {
  char tag[4] = {};
  in.ReadFully(tag, 4);
  return std::memcmp(tag, expected, 4) == 0;
}

int FormatCode(int bits, int channels) {
  if (bits == 8 && channels == 1) return SAMPLE_MONO8;
  if (bits == 8 && channels == 2) return SAMPLE_STEREO8;
  if (bits == 16 && channels == 1) return SAMPLE_MONO16LE;
  if (bits == 16 && channels == 2) return SAMPLE_STEREO16LE;
  return SAMPLE_NONE;
}

Ref<TSampleData> ReadData(TDataStream& in, int size, int rate, int format) {
  if (size < 0) return {};
  // Never allocate more than the stream can still deliver.
  const int64_t left = int64_t(in.Size()) - in.Pos();
  const int64_t available = in.Pos() >= 0 && left >= 0 && left < size ? left : size;
  const int frameBytes = BytesPerFrame(format);
  Ref<TSampleData> sample = TSampleData::Create(int(available / frameBytes), rate, format);
  if (!sample) return {};
  const int got = ReadAvailable(in, sample->data, sample->length * frameBytes);
  sample->Shorten(got / frameBytes);
  return sample;
}

}  // namespace

Ref<TSampleData> TWavSampleLoader::LoadSample(const Ref<TDataStream>& stream) {
  const Ref<TDataStream> little = WrapLittleEndian(stream);
  TDataStream& in = *little;
  if (!ReadTag(in, "RIFF")) return {};
  in.ReadI32();  // RIFF size
  if (!ReadTag(in, "WAVE") || !ReadTag(in, "fmt ")) return {};

  const int formatSize = in.ReadI32();
  const int audioFormat = in.ReadU16();
  const int channels = in.ReadU16();
  const int rate = in.ReadI32();
  in.ReadI32();  // byte rate
  in.ReadU16();  // block align
  const int bits = in.ReadU16();
  if (audioFormat != 1) return {};
  const int format = FormatCode(bits, channels);
  if (format == SAMPLE_NONE || rate <= 0) return {};
  if (formatSize > 16) in.Skip(formatSize - 16);

  while (!in.Eof()) {
    char tag[4] = {};
    in.ReadFully(tag, 4);
    const int size = in.ReadI32();
    if (std::memcmp(tag, "data", 4) == 0) return ReadData(in, size, rate, format);
    in.Skip(size);
  }
  return {};
}

void InitWavLoader() {
  static bool initialised = false;
  if (initialised) return;
  initialised = true;
  InitSampleModule();
  InitStreamModule();
  MakeRef<TWavSampleLoader>();
  NoteLoaderReady(u"WAV");
}

}  // namespace kelpora
