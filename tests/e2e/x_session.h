// A private X server for end-to-end tests, with screenshots and XTEST input.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace kelpora::testing {

// An RGB screenshot of a rectangle of the screen.
struct Shot {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // 3 bytes per pixel, rows top to bottom

  const uint8_t* At(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
  // Writes a binary PPM (the tour converts these to PNG).
  void SavePpm(const std::string& path) const;
};

// Starts Xvfb on a free display of its own, so that no other test's window
// can overlap what this one looks at.
class XSession {
 public:
  XSession();
  ~XSession();

  const std::string& displayName() const { return displayName_; }
  Shot Grab(int x, int y, int width, int height);
  // Presses and releases a key (an X keysym) through XTEST.
  void TapKey(unsigned long keysym);
  // Asks the 640×480 top-level window to close, as a window manager does.
  bool SendCloseRequest();

  // Starts counting the presentations of the 640×480 top-level window (mapped
  // or not yet): each buffer swap damages the whole window once, which the
  // server reports through the DAMAGE extension. False while there is no such
  // window yet.
  bool WatchPresentations();
  // Waits for presentations of the watched window and grabs the rectangle as
  // the newest of them shows it. Returns how many presentations came since
  // the last call (0 when none comes within `timeoutMs`). A grab is kept only
  // when no presentation is reported after it was taken, so the shot shows
  // exactly the last presentation counted.
  int NextPresentations(int timeoutMs, int x, int y, int width, int height, Shot& shot);

 private:
  std::unique_ptr<ChildProcess> server_;
  std::string displayName_;
  void* display_ = nullptr;  // Display*, kept out of this header
  unsigned long damage_ = 0;
  int damageEventBase_ = 0;
};

}  // namespace kelpora::testing
