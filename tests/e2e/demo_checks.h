// Helpers shared by the demo's end-to-end tests: timing, its pictures, and
// comparisons of screenshots with them.
#pragma once

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>

#include "pixmap/loaders/jpeg_loader.h"
#include "pixmap/loaders/pixmap_loader.h"
#include "pixmap/loaders/png_loader.h"
#include "runtime/text.h"
#include "stream/stream.h"
#include "x_session.h"

namespace kelpora::testing {

using Clock = std::chrono::steady_clock;

inline double MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

inline double MsSince(Clock::time_point since) { return MsBetween(since, Clock::now()); }

inline void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

inline Ref<TPixmap> LoadAsset(const char* name) {
  InitStreamModule();
  InitJpegLoader();
  InitPngLoader();
  return LoadPixmap(FromBytes(std::string(SOURCE_ROOT) + "/game/assets/" + name));
}

// Mean absolute difference per channel between the screen and `picture`
// drawn at (left, top), over the rows [fromRow, toRow) of the picture, counting
// only pixels the picture covers opaquely.
inline double Difference(const Shot& shot, const Ref<TPixmap>& picture, int left, int top,
                         int fromRow, int toRow) {
  double sum = 0;
  long count = 0;
  for (int y = fromRow; y < toRow; ++y)
    for (int x = 0; x < picture->width; ++x) {
      uint32_t colour = picture->PixelAt(x, y);
      if ((colour >> 24) != 0xFF) continue;
      const uint8_t* screen = shot.At(left + x, top + y);
      sum += std::abs(int(screen[0]) - int((colour >> 16) & 0xFF)) +
             std::abs(int(screen[1]) - int((colour >> 8) & 0xFF)) +
             std::abs(int(screen[2]) - int(colour & 0xFF));
      count += 3;
    }
  return count ? sum / count : 255;
}

// How far the band of rows [top, bottom) moved left between two shots,
// looking only at columns [fromX, toX).
inline int ShiftLeft(const Shot& before, const Shot& after, int top, int bottom, int fromX,
                     int toX) {
  int best = -1;
  double bestDifference = 1e9;
  for (int shift = 0; shift <= 120; ++shift) {
    double sum = 0;
    for (int y = top; y < bottom; ++y)
      for (int x = fromX; x + shift < toX; ++x)
        for (int c = 0; c < 3; ++c)
          sum += std::abs(int(after.At(x, y)[c]) - int(before.At(x + shift, y)[c]));
    sum /= (toX - fromX - shift);
    if (sum < bestDifference) {
      bestDifference = sum;
      best = shift;
    }
  }
  return best;
}

// True when `text` in the built-in 8×16 font is on screen at (x, y) over black.
inline bool ShowsText(const Shot& shot, std::string_view text, int x, int y) {
  static const std::string font = [] {
    std::ifstream in(std::string(SOURCE_ROOT) + "/vex2d/kelpfont.bin", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }();
  for (size_t i = 0; i < text.size(); ++i)
    for (int row = 0; row < 16; ++row)
      for (int bit = 0; bit < 8; ++bit) {
        bool set = (static_cast<uint8_t>(font[row * 96 + (text[i] - 32)]) >> bit) & 1;
        const uint8_t* pixel = shot.At(x + static_cast<int>(i) * 8 + bit, y + row);
        bool white = pixel[0] == 255 && pixel[1] == 255 && pixel[2] == 255;
        if (set != white) return false;
      }
  return true;
}

}  // namespace kelpora::testing
