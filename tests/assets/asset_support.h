// Shared by the asset tests: the catalogue as the game expects it, file access
// and the reference decoders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelpora::assettest {

enum class Kind { kJpeg, kPalettePng, kRgbaPng, kOgg };

struct Expected {
  std::string name;
  Kind kind;
  size_t size;
  int width, height;  // pictures
  double seconds;     // music, to the tenth
};

const std::vector<Expected>& Catalogue();
const Expected& Find(const std::string& name);

std::string AssetPath(const std::string& name);
std::vector<uint8_t> ReadFile(const std::string& path);

// Absolute path of a program found on PATH (empty when missing).
std::string Which(const std::string& program);

// Pixels decoded by ImageMagick: 4 bytes per pixel, RGBA.
struct Image {
  int width = 0, height = 0;
  std::vector<uint8_t> rgba;
  const uint8_t* At(int x, int y) const { return &rgba[(static_cast<size_t>(y) * width + x) * 4]; }
  bool Black(int x, int y) const {
    const uint8_t* p = At(x, y);
    return p[0] == 0 && p[1] == 0 && p[2] == 0;
  }
};
Image DecodeWithImageMagick(const std::string& path, int width, int height);

}  // namespace kelpora::assettest
