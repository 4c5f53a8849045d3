// Streamed clips: Ogg Vorbis music decoded while it plays, a little ahead of
// the output, on the audio module's decoder thread, so that no whole track is
// held in memory and a program thread that stalls never starves the sound.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "audio/clips_channels.h"

namespace kelpora {

class TDataStream;
class TOggDecoder;
struct pcmsample;
struct StreamFeed;

// A clip that decodes its source each time it is started. Each start plays
// on a voice of its own fed through a ring by the decoder thread. A clip
// opened on a URL opens it again for every start after the first, so starts
// may overlap; a clip over an open stream has one decoder, and a new start
// takes it over (the previous start plays what it already holds, then ends).
class TStreamClip : public TSoundClip {
 public:
  ~TStreamClip() override;
  Ref<TPlayChannel> Start(const Ref<TPlayChannel>& channel) override;
  Ref<TPlayChannel> StartPaused(const Ref<TPlayChannel>& channel) override;

  Ref<TObject> source;  // the open stream, or none for `url`
  String url;
  bool loop = false;
  std::unique_ptr<TOggDecoder> ready;  // opened and at its start
  std::shared_ptr<StreamFeed> last;    // the newest start's feed

 private:
  Ref<TPlayChannel> Play(const Ref<TPlayChannel>& channel, int paused);
  std::unique_ptr<TOggDecoder> TakeDecoder();
};

// Opens `source` (a URL or an open stream) as Ogg Vorbis and reads its
// headers; the frames are decoded only when the clip plays. Any nonzero
// `flags` loops, seamlessly: the decoder seeks back to the start. None when
// the source does not open or is not Ogg Vorbis; raises "Streamed clip cannot
// loop: the stream is not seekable" for a looping clip over a stream without
// a position. Without the mixer backend the clip is silent, as loaded ones are.
Ref<TSoundClip> StreamClip(const Ref<TObject>& source, int32_t flags);
Ref<TSoundClip> StreamClip(std::u16string_view url, int32_t flags);

// Waits up to `milliseconds` for the decoder thread to have topped up every
// playing ring that it can (each full, or its stream ended); true when it
// did. For tests and tools that must not race the decoder.
bool WaitForStreamRefill(int milliseconds);

// Output frames that streamed voices played as silence because the decoder
// fell behind.
int64_t StreamedSilenceFrames();

// Decoder-thread CPU time so far in nanoseconds (0 before it started).
int64_t StreamDecoderCpuTime();

}  // namespace kelpora
