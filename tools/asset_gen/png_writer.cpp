#include "tools/asset_gen/png_writer.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <stdexcept>
#include <tuple>

namespace kelpora::assetgen {

namespace {

struct Rgb8 {
  uint8_t r, g, b;
  bool operator<(const Rgb8& o) const { return std::tie(r, g, b) < std::tie(o.r, o.g, o.b); }
};

void WriteToVector(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void FlushNothing(png_structp) {}

void ThrowOnError(png_structp, png_const_charp message) { throw std::runtime_error(message); }

// colorType: PNG_COLOR_TYPE_PALETTE, _RGB or _RGB_ALPHA; rows hold packed samples.
Bytes WritePng(int width, int height, int colorType, const std::vector<Rgb8>& palette,
               const Bytes& samples, int filters) {
  Bytes out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, ThrowOnError, nullptr);
  png_infop info = png_create_info_struct(png);
  try {
    png_set_write_fn(png, &out, WriteToVector, FlushNothing);
    png_set_compression_level(png, 9);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, filters);
    png_set_IHDR(png, info, width, height, 8, colorType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    std::vector<png_color> plte;
    for (const Rgb8& c : palette) plte.push_back({c.r, c.g, c.b});
    if (colorType == PNG_COLOR_TYPE_PALETTE)
      png_set_PLTE(png, info, plte.data(), static_cast<int>(plte.size()));
    png_write_info(png, info);
    int channels = colorType == PNG_COLOR_TYPE_PALETTE ? 1
                   : colorType == PNG_COLOR_TYPE_RGB   ? 3
                                                       : 4;
    for (int y = 0; y < height; ++y)
      png_write_row(png,
                    const_cast<png_bytep>(&samples[static_cast<size_t>(y) * width * channels]));
    png_write_end(png, info);
  } catch (...) {
    png_destroy_write_struct(&png, &info);
    throw;
  }
  png_destroy_write_struct(&png, &info);
  return out;
}

Bytes SmallestPng(int width, int height, int colorType, const std::vector<Rgb8>& palette,
                  const Bytes& samples) {
  Bytes best;
  for (int filters : {PNG_FILTER_NONE, PNG_ALL_FILTERS, PNG_FILTER_SUB, PNG_FILTER_PAETH}) {
    Bytes png = WritePng(width, height, colorType, palette, samples, filters);
    if (best.empty() || png.size() < best.size()) best = std::move(png);
  }
  return best;
}

struct Box {
  std::vector<std::pair<Rgb8, uint32_t>> colors;
  int Range(int channel) const {
    int lo = 255, hi = 0;
    for (auto& [c, n] : colors) {
      int v = channel == 0 ? c.r : channel == 1 ? c.g : c.b;
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    return hi - lo;
  }
  uint64_t Weight() const {
    uint64_t w = 0;
    for (auto& cn : colors) w += cn.second;
    return w;
  }
};

// Median cut over the histogram of visible colours.
std::vector<Rgb8> MedianCut(const std::map<Rgb8, uint32_t>& histogram, int maxColors) {
  std::vector<Box> boxes(1);
  for (auto& cn : histogram) boxes[0].colors.push_back(cn);
  while (static_cast<int>(boxes.size()) < maxColors) {
    int best = -1;
    double bestScore = 0;
    for (size_t i = 0; i < boxes.size(); ++i) {
      if (boxes[i].colors.size() < 2) continue;
      int range = std::max({boxes[i].Range(0), boxes[i].Range(1), boxes[i].Range(2)});
      double score = range * std::sqrt(static_cast<double>(boxes[i].Weight()));
      if (score > bestScore) bestScore = score, best = static_cast<int>(i);
    }
    if (best < 0) break;
    Box& box = boxes[best];
    int ch = 0;
    for (int k = 1; k < 3; ++k)
      if (box.Range(k) > box.Range(ch)) ch = k;
    auto key = [ch](const std::pair<Rgb8, uint32_t>& p) {
      return ch == 0 ? p.first.r : ch == 1 ? p.first.g : p.first.b;
    };
    std::sort(box.colors.begin(), box.colors.end(), [&](auto& a, auto& b) {
      return key(a) != key(b) ? key(a) < key(b) : a.first < b.first;
    });
    uint64_t half = box.Weight() / 2, acc = 0;
    size_t cut = 1;
    for (size_t i = 0; i + 1 < box.colors.size(); ++i) {
      acc += box.colors[i].second;
      cut = i + 1;
      if (acc >= half) break;
    }
    Box other;
    other.colors.assign(box.colors.begin() + static_cast<long>(cut), box.colors.end());
    box.colors.resize(cut);
    boxes.push_back(std::move(other));
  }
  std::vector<Rgb8> palette;
  for (const Box& box : boxes) {
    double s[3] = {0, 0, 0}, w = 0;
    for (auto& [c, n] : box.colors) {
      s[0] += c.r * double(n);
      s[1] += c.g * double(n);
      s[2] += c.b * double(n);
      w += n;
    }
    Rgb8 c{static_cast<uint8_t>(s[0] / w + 0.5), static_cast<uint8_t>(s[1] / w + 0.5),
           static_cast<uint8_t>(s[2] / w + 0.5)};
    if (c.r == 0 && c.g == 0 && c.b == 0) c.b = 1;  // black is reserved for see-through
    palette.push_back(c);
  }
  return palette;
}

}  // namespace

bool PadPng(Bytes& png, size_t targetSize, const std::string& comment) {
  if (png.size() == targetSize) return true;
  static const std::string keyword = "Comment";
  const size_t overhead = 12 + keyword.size() + 1;
  if (png.size() + overhead > targetSize) return false;
  std::string text = comment;
  size_t textSize = targetSize - png.size() - overhead;
  while (text.size() < textSize) text += text.empty() ? std::string(" ") : " " + comment;
  text.resize(textSize);
  Bytes chunk;
  uint32_t length = static_cast<uint32_t>(keyword.size() + 1 + text.size());
  for (int s = 24; s >= 0; s -= 8) chunk.push_back(static_cast<uint8_t>(length >> s));
  for (char c : std::string("tEXt") + keyword) chunk.push_back(static_cast<uint8_t>(c));
  chunk.push_back(0);
  chunk.insert(chunk.end(), text.begin(), text.end());
  uint32_t crc =
      static_cast<uint32_t>(crc32(0, chunk.data() + 4, static_cast<uInt>(chunk.size() - 4)));
  for (int s = 24; s >= 0; s -= 8) chunk.push_back(static_cast<uint8_t>(crc >> s));
  png.insert(png.end() - 12, chunk.begin(), chunk.end());  // the last 12 bytes are IEND
  return png.size() == targetSize;
}

Bytes EncodePalettePng(const Canvas& canvas, size_t targetSize, const std::string& comment) {
  const int w = canvas.width(), h = canvas.height();
  std::vector<uint8_t> rgba = canvas.ToRgba8();
  std::map<Rgb8, uint32_t> histogram;
  std::vector<Rgb8> pixels(static_cast<size_t>(w) * h);
  std::vector<bool> visible(pixels.size());
  for (size_t i = 0; i < pixels.size(); ++i) {
    visible[i] = rgba[i * 4 + 3] >= 128;
    pixels[i] = {rgba[i * 4], rgba[i * 4 + 1], rgba[i * 4 + 2]};
    if (visible[i]) ++histogram[pixels[i]];
  }
  for (int colors : {255, 200, 160, 128, 96, 64, 48, 40, 32, 24, 16, 12, 8}) {
    std::vector<Rgb8> palette{{0, 0, 0}};
    std::vector<Rgb8> cut = MedianCut(histogram, colors);
    palette.insert(palette.end(), cut.begin(), cut.end());
    std::map<Rgb8, uint8_t> nearest;
    Bytes indices(pixels.size(), 0);
    for (size_t i = 0; i < pixels.size(); ++i) {
      if (!visible[i]) continue;
      auto [it, fresh] = nearest.try_emplace(pixels[i], 0);
      if (fresh) {
        int bestD = 1 << 30;
        for (size_t p = 1; p < palette.size(); ++p) {
          int dr = palette[p].r - pixels[i].r, dg = palette[p].g - pixels[i].g,
              db = palette[p].b - pixels[i].b;
          int d = 3 * dr * dr + 4 * dg * dg + 2 * db * db;
          if (d < bestD) bestD = d, it->second = static_cast<uint8_t>(p);
        }
      }
      indices[i] = it->second;
    }
    Bytes png = SmallestPng(w, h, PNG_COLOR_TYPE_PALETTE, palette, indices);
    if (PadPng(png, targetSize, comment)) return png;
  }
  throw std::runtime_error("palette picture does not fit its size: " + comment);
}

Bytes EncodeRgbaPng(const Canvas& canvas, size_t targetSize, const std::string& comment) {
  Bytes png =
      SmallestPng(canvas.width(), canvas.height(), PNG_COLOR_TYPE_RGB_ALPHA, {}, canvas.ToRgba8());
  if (!PadPng(png, targetSize, comment))
    throw std::runtime_error("RGBA picture does not fit its size: " + comment);
  return png;
}

Bytes EncodeRgbPng(const Canvas& canvas) {
  return WritePng(canvas.width(), canvas.height(), PNG_COLOR_TYPE_RGB, {}, canvas.ToRgb8(),
                  PNG_ALL_FILTERS);
}

}  // namespace kelpora::assetgen
