// Picture and sound loaders share one way of being asked: newest first, each
// from the same start position, a stream error meaning "not mine".
#pragma once

#include "stream/stream.h"

namespace kelpora {

// Asks `loader` and those after it through `load(loader, stream)` until one
// answers, rewinding `stream` to `start` before each. The stream is closed
// however the search ends.
template <class TLoader, class TLoad>
auto AskLoaders(const Ref<TDataStream>& stream, int start, Ref<TLoader> loader, TLoad load) {
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
  } catch (...) {
    stream->Close();
    throw;
  }
  stream->Close();
  return result;
}

}  // namespace kelpora
