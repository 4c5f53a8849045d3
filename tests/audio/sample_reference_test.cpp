// Our loaders against decoders nobody here wrote: sox for WAV files, oggdec
// and ogginfo for Ogg Vorbis (the same vorbisfile underneath, so equal to the
// sample), and the demo's music at the lengths its catalogue gives.
#include <gtest/gtest.h>

#include <regex>

#include "audio/loaders/ogg_loader.h"
#include "audio/loaders/wav_loader.h"
#include "audio_test_support.h"
#include "runtime/text.h"

namespace kelpora {
namespace {

using namespace audiotest;

class Reference : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    InitOggLoader();
    InitWavLoader();
  }
};

// The same file with a LIST chunk and a "junk" chunk between "fmt " and "data".
Bytes WithExtraChunks(const Bytes& wav) {
  const size_t fmtEnd = 20 + (wav[16] | wav[17] << 8);
  Bytes out(wav.begin(), wav.begin() + fmtEnd);
  for (const Bytes& chunk :
       {Chunk("LIST", {'I', 'N', 'F', 'O', 'I', 'C', 'M', 'T', 1, 0, 0, 0, 'x', 0}),
        Chunk("junk", {1, 2, 3, 4})})
    out.insert(out.end(), chunk.begin(), chunk.end());
  out.insert(out.end(), wav.begin() + fmtEnd, wav.end());
  return out;
}

TEST_F(Reference, WavFilesEqualSoxDecodeSampleForSample) {
  int checked = 0;
  for (int rate : {8000, 22050, 44100})
    for (int bits : {8, 16})
      for (const char* layout : {"mono", "stereo"}) {
        const std::string name =
            "wav_" + std::to_string(bits) + "_" + layout + "_" + std::to_string(rate) + ".wav";
        SCOPED_TRACE(name);
        const std::string plain = ReferenceFile(name);
        const std::string extra = plain + ".extra.wav";
        WriteFile(extra, WithExtraChunks(ReadFile(plain)));
        for (const std::string& path : {plain, extra}) {
          Ref<TSampleData> sample = LoadSample(FromBytes(path));
          ASSERT_TRUE(sample) << path;
          const int channels = std::string(layout) == "mono" ? 1 : 2;
          EXPECT_EQ(sample->format, bits == 8 ? (channels == 1 ? 1 : 4) : (channels == 1 ? 2 : 5));
          EXPECT_EQ(std::to_string(sample->rate) + "\n", RunTool("soxi", {"-r", path}));
          EXPECT_EQ(std::to_string(sample->length) + "\n", RunTool("soxi", {"-s", path}));
          const std::string raw = RunTool("sox", {path, "-t", "raw", "-"});
          EXPECT_EQ(SampleBytes(sample), Bytes(raw.begin(), raw.end()));
          ++checked;
        }
      }
  EXPECT_EQ(checked, 24);
}

TEST_F(Reference, OggFilesEqualOggdecAndOgginfo) {
  for (const char* name : {"ogg_mono_44100.ogg", "ogg_stereo_32000.ogg", "ogg_6ch_48000.ogg"}) {
    SCOPED_TRACE(name);
    const std::string path = ReferenceFile(name);
    Ref<TSampleData> sample = LoadSample(FromBytes(path));
    ASSERT_TRUE(sample);
    const std::string info = RunTool("ogginfo", {path});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(info, m, std::regex(R"(Channels: (\d+)\s+Rate: (\d+))")));
    const int channels = std::stoi(m[1]);
    EXPECT_EQ(sample->rate, std::stoi(m[2]));
    EXPECT_EQ(sample->format, channels == 1 ? SAMPLE_MONO16LE : SAMPLE_STEREO16LE);
    ASSERT_TRUE(std::regex_search(info, m, std::regex(R"(Playback length: (\d+)m:([\d.]+)s)")));
    const double seconds = std::stoi(m[1]) * 60 + std::stod(m[2]);
    EXPECT_NEAR(double(sample->length) / sample->rate, seconds, 0.0015);
    const Bytes raw = OggdecRaw(path);
    EXPECT_EQ(size_t(sample->length), raw.size() / (2 * channels));
    if (channels <= 2) {
      EXPECT_EQ(SampleBytes(sample), raw);
    }
  }
}

// "about 178.9 s" and "about 372.0 s" at 44100 Hz, to the frame.
TEST_F(Reference, DemoMusicDecodesToItsCatalogueLength) {
  struct Track {
    const char* name;
    int frames;
  };
  for (Track track :
       {Track{"intro/intromusic.ogg", 7889490}, Track{"DATAS/music-level1.ogg", 16405200}}) {
    SCOPED_TRACE(track.name);
    const std::string path = std::string(KELPORA_SOURCE_DIR "/game/assets/") + track.name;
    Ref<TSampleData> sample = LoadSample(FromBytes(path));
    ASSERT_TRUE(sample);
    EXPECT_EQ(sample->format, SAMPLE_STEREO16LE);
    EXPECT_EQ(sample->rate, 44100);
    EXPECT_EQ(sample->length, track.frames);
    EXPECT_EQ(sample->capacity, track.frames * 4);
  }
}

}  // namespace
}  // namespace kelpora
