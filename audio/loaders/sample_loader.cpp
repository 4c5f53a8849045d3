#include "audio/loaders/sample_loader.h"

#include "runtime/load_errors.h"
#include "stream/loader_chain.h"

namespace kelpora {

namespace {

TSampleLoader* loaderHead = nullptr;

Ref<TSampleData> LoadFromOpenStream(const Ref<TDataStream>& stream) {
  if (!stream) return {};
  const int start = stream->Pos();
  if (start == -1) {
    stream->Close();
    RaiseError(u"Stream is not seekable");
  }
  return AskLoaders(u"sound", stream, start, FirstSampleLoader(),
                    [](const Ref<TSampleLoader>& loader, const Ref<TDataStream>& from) {
                      return loader->LoadSample(from);
                    });
}

}  // namespace

TSampleLoader::TSampleLoader() {
  next = Ref<TSampleLoader>(loaderHead);
  // The list holds every loader for the life of the process.
  Retain();
  loaderHead = this;
}

Ref<TSampleLoader> FirstSampleLoader() { return Ref<TSampleLoader>(loaderHead); }

Ref<TSampleData> LoadSample(const Ref<TObject>& source) {
  TLoadAttempt attempt(u"LoadSample", SourceName(source));
  return attempt.Finish(LoadFromOpenStream(OpenForReading(source)));
}

Ref<TSampleData> LoadSample(std::u16string_view url) {
  TLoadAttempt attempt(u"LoadSample", url);
  return attempt.Finish(LoadFromOpenStream(OpenForReading(url)));
}

int ReadAvailable(TDataStream& stream, void* buf, int count) {
  auto* at = static_cast<uint8_t*>(buf);
  int got = 0;
  while (got < count && !stream.Eof()) {
    const int n = stream.Read(at + got, count - got);
    if (n <= 0) throw TStreamReadError();
    got += n < count - got ? n : count - got;
  }
  return got;
}

}  // namespace kelpora
