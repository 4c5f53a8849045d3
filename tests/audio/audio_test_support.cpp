#include "audio_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "audio/loaders/sample_loader.h"
#include "process.h"
#include "stream/incbin.h"

namespace kelpora::audiotest {

void Put16(Bytes& out, uint32_t value) {
  out.push_back(uint8_t(value));
  out.push_back(uint8_t(value >> 8));
}

void Put32(Bytes& out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

Bytes Chunk(const char* tag, const Bytes& payload, int64_t declared) {
  Bytes out(tag, tag + 4);
  Put32(out, uint32_t(declared >= 0 ? declared : int64_t(payload.size())));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes FormatFields(int audioFormat, int channels, int rate, int bits) {
  Bytes out;
  Put16(out, uint32_t(audioFormat));
  Put16(out, uint32_t(channels));
  Put32(out, uint32_t(rate));
  Put32(out, uint32_t(rate * channels * bits / 8));
  Put16(out, uint32_t(channels * bits / 8));
  Put16(out, uint32_t(bits));
  return out;
}

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Riff(const std::vector<Bytes>& chunks) {
  Bytes body = Concat(chunks);
  Bytes out = {'R', 'I', 'F', 'F'};
  Put32(out, uint32_t(body.size() + 4));
  out.insert(out.end(), {'W', 'A', 'V', 'E'});
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Ref<TSampleData> LoadFromMemory(const Bytes& bytes) {
  return LoadSample(Ref<TObject>(CreateBlockStream(bytes.data(), int(bytes.size()), 1, 0)));
}

Bytes SampleBytes(const Ref<TSampleData>& sample) {
  return Bytes(sample->data, sample->data + size_t(sample->length) * BytesPerFrame(sample->format));
}

std::string RunTool(const std::string& program, const std::vector<std::string>& args) {
  std::string path = program;
  for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"})
    if (std::filesystem::exists(dir + program)) {
      path = dir + program;
      break;
    }
  testing::ProcessResult r = testing::RunProcess(path, args, {}, {}, 120000);
  EXPECT_TRUE(r.exited && r.status == 0) << program << ": " << r.err;
  return r.out;
}

namespace {

// The length of the Ogg page at `at`: header, segment table and body.
size_t PageLength(const Bytes& file, size_t at) {
  const int segments = file[at + 26];
  size_t length = 27 + segments;
  for (int i = 0; i < segments; ++i) length += file[at + 27 + i];
  return length;
}

}  // namespace

std::vector<OggPage> OggPages(const Bytes& file) {
  std::vector<OggPage> pages;
  for (size_t at = 0; at + 27 <= file.size() && std::memcmp(&file[at], "OggS", 4) == 0;
       at += PageLength(file, at)) {
    OggPage page{at, 0, 0};
    std::memcpy(&page.granule, &file[at + 6], 8);
    std::memcpy(&page.serial, &file[at + 14], 4);
    pages.push_back(page);
  }
  return pages;
}

void SetGranule(Bytes& file, size_t offset, int64_t granule) {
  std::memcpy(&file[offset + 6], &granule, 8);
  const size_t length = PageLength(file, offset);
  std::memset(&file[offset + 22], 0, 4);
  // The page checksum: CRC-32, polynomial 0x04C11DB7, not reflected, from 0.
  uint32_t crc = 0;
  for (size_t i = 0; i < length; ++i) {
    crc ^= uint32_t(file[offset + i]) << 24;
    for (int bit = 0; bit < 8; ++bit) crc = crc & 0x80000000u ? crc << 1 ^ 0x04C11DB7u : crc << 1;
  }
  std::memcpy(&file[offset + 22], &crc, 4);
}

namespace {

struct ReferenceFolder {
  ReferenceFolder() : path(KELPORA_REFERENCE_DIR "." + std::to_string(getpid())) {
    std::filesystem::remove_all(path);
    testing::ProcessResult r =
        testing::RunProcess("/bin/sh", {KELPORA_REFERENCE_SCRIPT, path}, {}, {}, 120000);
    if (!r.exited || r.status != 0) ADD_FAILURE() << "reference sounds: " << r.err;
  }
  ~ReferenceFolder() { std::filesystem::remove_all(path); }
  std::string path;
};

}  // namespace

std::string ReferenceFile(const std::string& name) {
  static ReferenceFolder folder;
  return folder.path + "/" + name;
}

Bytes OggdecRaw(const std::string& path) {
  const std::string raw = path + "." + std::to_string(getpid()) + ".raw";
  RunTool("oggdec", {"-Q", "-R", "-b", "16", "-e", "0", "-s", "1", "-o", raw, path});
  Bytes bytes = ReadFile(raw);
  std::filesystem::remove(raw);
  return bytes;
}

}  // namespace kelpora::audiotest
