// Shared by the sample tests: WAV files built byte by byte, Ogg page surgery,
// and the reference tools.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/sample.h"

namespace kelpora::audiotest {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& out, uint32_t value);
void Put32(Bytes& out, uint32_t value);
// A chunk: tag, 32-bit size (the payload's unless `declared` is given), payload.
Bytes Chunk(const char* tag, const Bytes& payload, int64_t declared = -1);
// The 16 bytes of a format chunk's fields (byte rate and block align derived).
Bytes FormatFields(int audioFormat, int channels, int rate, int bits);
// "RIFF", a size, "WAVE" and the chunks in order.
Bytes Riff(const std::vector<Bytes>& chunks);
Bytes Concat(const std::vector<Bytes>& parts);

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& bytes);

// Loads through the whole loader chain from memory.
Ref<TSampleData> LoadFromMemory(const Bytes& bytes);
// The sample's frames as bytes.
Bytes SampleBytes(const Ref<TSampleData>& sample);

// Standard output of a tool; fails the current test when it does not exit 0.
std::string RunTool(const std::string& program, const std::vector<std::string>& args);

// Ogg pages: offsets of each page with its serial number and granule position.
struct OggPage {
  size_t offset;
  uint32_t serial;
  int64_t granule;
};
std::vector<OggPage> OggPages(const Bytes& file);
// Sets the granule position of the page at `offset` and fixes its checksum.
void SetGranule(Bytes& file, size_t offset, int64_t granule);

// The folder of reference sounds (make_reference_sounds.sh), written once per
// test process and removed at its end; `name` inside it.
std::string ReferenceFile(const std::string& name);
// oggdec's decode of an Ogg file as 16-bit little-endian signed PCM.
Bytes OggdecRaw(const std::string& path);

}  // namespace kelpora::audiotest
