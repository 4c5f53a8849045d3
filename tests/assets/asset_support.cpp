#include "asset_support.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "process.h"

namespace kelpora::assettest {

const std::vector<Expected>& Catalogue() {
  static const std::vector<Expected> rows = {
      {"intro/logo-tamo.jpg", Kind::kJpeg, 33748, 640, 480, 0},
      {"intro/intromusic.ogg", Kind::kOgg, 2154250, 0, 0, 178.9},
      {"intro/introtitre.jpg", Kind::kJpeg, 333003, 640, 480, 0},
      {"intro/globeintro.png", Kind::kPalettePng, 25755, 640, 400, 0},
      {"DATAS/herbe0.png", Kind::kPalettePng, 3704, 640, 4, 0},
      {"DATAS/herbe1.png", Kind::kPalettePng, 3835, 640, 6, 0},
      {"DATAS/herbe2.png", Kind::kPalettePng, 4105, 640, 14, 0},
      {"DATAS/herbe3.png", Kind::kPalettePng, 4050, 640, 14, 0},
      {"DATAS/herbe4.png", Kind::kPalettePng, 4148, 640, 22, 0},
      {"DATAS/nuages0.png", Kind::kPalettePng, 5318, 640, 42, 0},
      {"DATAS/nuages1.png", Kind::kPalettePng, 5958, 640, 80, 0},
      {"DATAS/nuages2.png", Kind::kPalettePng, 4630, 640, 38, 0},
      {"DATAS/nuages3.png", Kind::kPalettePng, 4109, 640, 18, 0},
      {"DATAS/nuages4.png", Kind::kPalettePng, 3897, 640, 12, 0},
      {"DATAS/barriere.png", Kind::kPalettePng, 4705, 640, 42, 0},
      {"DATAS/montagnes.png", Kind::kPalettePng, 9060, 640, 146, 0},
      {"DATAS/fond.jpg", Kind::kJpeg, 8890, 640, 360, 0},
      {"DATAS/lune.png", Kind::kPalettePng, 4287, 106, 106, 0},
      {"DATAS/music-level1.ogg", Kind::kOgg, 4476009, 0, 0, 372.0},
      {"DATAS/la-vask.png", Kind::kRgbaPng, 45772, 480, 104, 0},
  };
  return rows;
}

const Expected& Find(const std::string& name) {
  for (const Expected& e : Catalogue())
    if (e.name == name) return e;
  throw std::runtime_error("not in the catalogue: " + name);
}

std::string AssetPath(const std::string& name) {
  return std::string(KELPORA_ASSET_DIR) + "/" + name;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Which(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = dir + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

Image DecodeWithImageMagick(const std::string& path, int width, int height) {
  std::string convert = Which("convert");
  if (convert.empty()) throw std::runtime_error("ImageMagick's convert is not installed");
  auto result = testing::RunProcess(convert, {path, "-depth", "8", "rgba:-"});
  if (!result.exited || result.status != 0)
    throw std::runtime_error("convert failed on " + path + ": " + result.err);
  Image image;
  image.width = width;
  image.height = height;
  image.rgba.assign(result.out.begin(), result.out.end());
  if (image.rgba.size() != static_cast<size_t>(width) * height * 4)
    throw std::runtime_error("convert gave an unexpected pixel count for " + path);
  return image;
}

}  // namespace kelpora::assettest
