// Picture and sound loaders share one way of being asked: newest first, each
// from the same start position, a stream error meaning "not mine".
#pragma once

#include "runtime/load_errors.h"
#include "stream/stream.h"

namespace kelpora {

// Notes why no loader of `kind` took the data at `start` (see load_errors.h).
void NoteUnrecognisedData(std::u16string_view kind, TDataStream& stream, int start);

// Asks `loader` and those after it through `load(loader, stream)` until one
// answers, rewinding `stream` to `start` before each. The stream is closed
// however the search ends; when no loader answers, the reason is noted.
template <class TLoader, class TLoad>
auto AskLoaders(std::u16string_view kind, const Ref<TDataStream>& stream, int start,
                Ref<TLoader> loader, TLoad load) {
  decltype(load(loader, stream)) result;
  try {
    for (; loader && !result; loader = loader->next) {
      stream->Seek(start);
      try {
        result = load(loader, stream);
      } catch (const TStreamError&) {
        result = nullptr;
      }
    }
    if (!result) NoteUnrecognisedData(kind, *stream, start);
  } catch (...) {
    stream->Close();
    throw;
  }
  stream->Close();
  return result;
}

}  // namespace kelpora
