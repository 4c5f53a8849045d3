// Turning bytes into samples: the loader chain and LoadSample.
#pragma once

#include <string_view>

#include "audio/sample.h"
#include "runtime/object.h"

namespace kelpora {

class TDataStream;

// One audio file format. LoadSample reads from the stream's current position
// and answers none when the data is not in its format or cannot be decoded;
// it neither rewinds nor closes the stream. Creating a loader (always with
// MakeRef) links it in front of the process-wide list, so the newest loader
// is asked first.
class TSampleLoader : public TObject {
 public:
  TSampleLoader();
  virtual Ref<TSampleData> LoadSample(const Ref<TDataStream>& stream) = 0;

  Ref<TSampleLoader> next;  // created before this one
};

// The newest loader; follow `next` for the older ones.
Ref<TSampleLoader> FirstSampleLoader();

// Opens the source (a URL or an open stream) once and asks each loader in
// turn, from the stream's start position, until one gives a sample. A stream
// error inside a loader counts as declining. None when the source does not
// open or no loader accepts it; raises "Stream is not seekable" when the
// stream has no position.
Ref<TSampleData> LoadSample(const Ref<TObject>& source);
Ref<TSampleData> LoadSample(std::u16string_view url);

// Reads up to `count` bytes into `buf`, stopping at the end of the stream;
// answers how many arrived. Raises TStreamReadError, like ReadFully, when a
// read moves nothing before the end.
int ReadAvailable(TDataStream& stream, void* buf, int count);

}  // namespace kelpora
