// Every embedded file against its catalogue row: exact size, container
// structure, header fields, and what reference tools make of it.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "asset_support.h"
#include "process.h"

namespace kelpora::assettest {
namespace {

uint32_t Be32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

uint32_t Crc32(const uint8_t* data, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

TEST(AssetCatalogue, GeneratedTableListsEveryFileWithItsSymbolAndSize) {
  std::ifstream in(AssetPath("catalogue.txt"));
  ASSERT_TRUE(in) << "game/assets/catalogue.txt is missing";
  std::string line;
  std::vector<std::string> names;
  std::set<std::string> symbols;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream row(line);
    std::string name, symbol;
    size_t size = 0;
    ASSERT_TRUE(row >> name >> symbol >> size) << line;
    EXPECT_EQ(Find(name).size, size) << name;
    ASSERT_FALSE(symbol.empty());
    EXPECT_FALSE(std::isdigit(static_cast<unsigned char>(symbol[0]))) << symbol;
    for (char c : symbol)
      EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || c == '_') << symbol;
    EXPECT_TRUE(symbols.insert(symbol).second) << "duplicate symbol " << symbol;
    names.push_back(name);
  }
  ASSERT_EQ(names.size(), Catalogue().size());
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(names[i], Catalogue()[i].name);
}

TEST(AssetFiles, EverySizeMatchesTheCatalogueToTheByte) {
  for (const Expected& e : Catalogue())
    EXPECT_EQ(ReadFile(AssetPath(e.name)).size(), e.size) << e.name;
}

TEST(AssetFiles, JpegsAreBaselineThreeComponentAndEndWithTheirEoiMarker) {
  for (const Expected& e : Catalogue()) {
    if (e.kind != Kind::kJpeg) continue;
    SCOPED_TRACE(e.name);
    std::vector<uint8_t> b = ReadFile(AssetPath(e.name));
    ASSERT_GE(b.size(), 4u);
    ASSERT_EQ(b[0], 0xFF);
    ASSERT_EQ(b[1], 0xD8);
    EXPECT_EQ(b[b.size() - 2], 0xFF);
    EXPECT_EQ(b[b.size() - 1], 0xD9);
    // Walk the segments up to the scan; the only frame must be SOF0.
    size_t at = 2;
    int frames = 0;
    bool scan = false;
    while (!scan) {
      ASSERT_LT(at + 4, b.size());
      ASSERT_EQ(b[at], 0xFF) << "segment at " << at;
      uint8_t marker = b[at + 1];
      size_t length = size_t{b[at + 2]} << 8 | b[at + 3];
      ASSERT_GE(length, 2u);
      ASSERT_LE(at + 2 + length, b.size());
      if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
        ++frames;
        EXPECT_EQ(marker, 0xC0) << "not a baseline frame";
        EXPECT_EQ(b[at + 4], 8);
        EXPECT_EQ(int(b[at + 5]) << 8 | b[at + 6], e.height);
        EXPECT_EQ(int(b[at + 7]) << 8 | b[at + 8], e.width);
        EXPECT_EQ(b[at + 9], 3) << "components";
      }
      scan = marker == 0xDA;
      at += 2 + length;
    }
    EXPECT_EQ(frames, 1);
    auto id = testing::RunProcess(
        Which("identify"), {"-format", "%m %w %h %[colorspace] %[interlace]", AssetPath(e.name)});
    ASSERT_EQ(id.status, 0) << id.err;
    EXPECT_EQ(id.out,
              "JPEG " + std::to_string(e.width) + " " + std::to_string(e.height) + " sRGB None");
  }
}

TEST(AssetFiles, PngsHaveTheirColourTypeNoTransparencyChunkAndEndWithIend) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  for (const Expected& e : Catalogue()) {
    if (e.kind != Kind::kPalettePng && e.kind != Kind::kRgbaPng) continue;
    SCOPED_TRACE(e.name);
    std::vector<uint8_t> b = ReadFile(AssetPath(e.name));
    ASSERT_GE(b.size(), 8u + 25 + 12);
    ASSERT_TRUE(std::equal(kSignature, kSignature + 8, b.begin()));
    std::vector<std::string> chunks;
    size_t at = 8;
    while (at < b.size()) {
      ASSERT_LE(at + 12, b.size());
      uint32_t length = Be32(b, at);
      ASSERT_LE(at + 12 + length, b.size());
      chunks.emplace_back(b.begin() + static_cast<long>(at + 4),
                          b.begin() + static_cast<long>(at + 8));
      EXPECT_EQ(Crc32(&b[at + 4], length + 4), Be32(b, at + 8 + length)) << chunks.back();
      if (chunks.back() == "PLTE") {
        EXPECT_LE(length / 3, 256u);
      }
      at += 12 + length;
    }
    EXPECT_EQ(at, b.size());
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks.front(), "IHDR");
    EXPECT_EQ(chunks.back(), "IEND");
    EXPECT_EQ(std::count(chunks.begin(), chunks.end(), "tRNS"), 0);
    EXPECT_EQ(Be32(b, 16), static_cast<uint32_t>(e.width));
    EXPECT_EQ(Be32(b, 20), static_cast<uint32_t>(e.height));
    EXPECT_EQ(b[24], 8) << "bit depth";
    EXPECT_EQ(b[25], e.kind == Kind::kPalettePng ? 3 : 6) << "colour type";
    EXPECT_EQ(b[28], 0) << "interlace";
    EXPECT_EQ(std::count(chunks.begin(), chunks.end(), "PLTE"),
              e.kind == Kind::kPalettePng ? 1 : 0);
    auto id = testing::RunProcess(Which("identify"), {"-format", "%m %w %h %z", AssetPath(e.name)});
    ASSERT_EQ(id.status, 0) << id.err;
    EXPECT_EQ(id.out, "PNG " + std::to_string(e.width) + " " + std::to_string(e.height) + " 8");
  }
}

TEST(AssetFiles, OggFilesArePagesOfOneVorbisStreamEndingWithTheLastPage) {
  for (const Expected& e : Catalogue()) {
    if (e.kind != Kind::kOgg) continue;
    SCOPED_TRACE(e.name);
    std::vector<uint8_t> b = ReadFile(AssetPath(e.name));
    size_t at = 0, pages = 0;
    uint8_t lastFlags = 0;
    uint32_t serial = 0;
    while (at < b.size()) {
      ASSERT_LE(at + 27, b.size());
      ASSERT_EQ(
          std::string(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + 4)),
          "OggS")
          << "page " << pages;
      uint8_t segments = b[at + 26];
      ASSERT_LE(at + 27 + segments, b.size());
      size_t body = 0;
      for (int s = 0; s < segments; ++s) body += b[at + 27 + s];
      uint32_t pageSerial = uint32_t{b[at + 14]} | uint32_t{b[at + 15]} << 8 |
                            uint32_t{b[at + 16]} << 16 | uint32_t{b[at + 17]} << 24;
      if (pages == 0) {
        serial = pageSerial;
        EXPECT_EQ(b[at + 5] & 2, 2) << "first page starts the stream";
        // The identification header: type 1, "vorbis", version, channels, rate.
        const size_t id = at + 27 + segments;
        ASSERT_GE(body, 30u);
        EXPECT_EQ(b[id], 1);
        EXPECT_EQ(std::string(b.begin() + static_cast<long>(id + 1),
                              b.begin() + static_cast<long>(id + 7)),
                  "vorbis");
        EXPECT_EQ(b[id + 11], 2) << "channels";
        uint32_t rate = uint32_t{b[id + 12]} | uint32_t{b[id + 13]} << 8 |
                        uint32_t{b[id + 14]} << 16 | uint32_t{b[id + 15]} << 24;
        EXPECT_EQ(rate, 44100u);
      }
      EXPECT_EQ(pageSerial, serial);
      lastFlags = b[at + 5];
      at += 27 + segments + body;
      ++pages;
    }
    EXPECT_EQ(at, b.size()) << "the last page ends the file";
    EXPECT_EQ(lastFlags & 4, 4) << "the last page ends the stream";

    auto info = testing::RunProcess(Which("ogginfo"), {AssetPath(e.name)});
    ASSERT_TRUE(info.exited);
    EXPECT_EQ(info.status, 0) << info.out << info.err;
    EXPECT_EQ(info.out.find("WARNING"), std::string::npos) << info.out;
    EXPECT_EQ(info.out.find("ERROR"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Channels: 2"), std::string::npos);
    EXPECT_NE(info.out.find("Rate: 44100"), std::string::npos);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(info.out, m, std::regex(R"(Playback length: (\d+)m:([\d.]+)s)")));
    double seconds = std::stod(m[1]) * 60 + std::stod(m[2]);
    EXPECT_DOUBLE_EQ(std::round(seconds * 10) / 10, e.seconds);
  }
}

}  // namespace
}  // namespace kelpora::assettest
