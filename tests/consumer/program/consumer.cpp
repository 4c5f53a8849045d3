// A program built outside the Kelpora tree against an installed copy of it.
// It reads a text file and a PNG (embedded in the executable when built with
// the CMake package, from the folder given as its argument otherwise), draws
// a known picture in a window, reads the window back and checks every part
// of it. Exit status 0 and "consumer ok" when all is as drawn.
#include <cstdio>
#include <cstdlib>

#include "graphics/gl_driver.h"
#include "input/keyboard_mouse.h"
#include "pixmap/loaders/png_loader.h"
#include "pixmap/pixmap.h"
#include "runtime/startup.h"
#include "runtime/system_driver.h"
#include "runtime/text.h"
#include "stream/incbin.h"
#include "stream/stream.h"
#include "vex2d/draw_state.h"
#include "vex2d/graphics_mode.h"
#include "vex2d/picture.h"

#ifdef CONSUMER_EMBEDDED
#include "consumerFiles.h"
#endif

using namespace kelpora;

namespace {

int failures = 0;

void Expect(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "consumer: %s\n", what);
    ++failures;
  }
}

String UrlOf(const char16_t* name) {
#ifdef CONSUMER_EMBEDDED
  return RegisterEmbeddedFile(consumerFiles, name);
#else
  return ApplicationState.arguments.at(1) + u"/" + name;
#endif
}

// 0xRRGGBB of a read-back pixel, alpha dropped.
uint32_t Rgb(const Ref<TPixmap>& shot, int x, int y) { return shot->PixelAt(x, y) & 0xFFFFFF; }

void Run() {
  InitSystemModule();
  InitInputModule();
  InitStreamModule();
  InitIncbinModule();
  InitPngLoader();
  InitGLDriverModule();

  String text = LoadAllText(UrlOf(u"greeting.txt"));
  Expect(text == u"Kelpora from outside\nsecond line\n", "greeting.txt read wrong");

  // 8×8, left half yellow, right half magenta.
  Ref<TPicture> halves = LoadPicture(UrlOf(u"halves.png"), 0);
  Expect(halves && PictureWidth(halves) == 8 && PictureHeight(halves) == 8,
         "halves.png not loaded");

  OpenCanvas(64, 48, 0, 60);
  SetClearColor(0, 0, 255);
  ClearScreen();
  SetDrawColor(255, 0, 0);
  FillRect(8, 8, 16, 16);
  SetDrawColor(255, 255, 255);
  DrawPictureRect(halves, 32, 8, 16, 16, 0);  // stretched ×2
  Ref<TPixmap> green = MakePixmap(4, 4, PIXFMT_RGBA32);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) green->SetPixelAt(x, y, 0xFF00FF00);
  PastePixmap(green, 50, 36);

  Ref<TPixmap> shot = ReadPixmap(0, 0, 64, 48);
  Expect(Rgb(shot, 2, 2) == 0x0000FF && Rgb(shot, 63, 47) == 0x0000FF, "background is not blue");
  Expect(Rgb(shot, 8, 8) == 0xFF0000 && Rgb(shot, 23, 23) == 0xFF0000, "box is not red");
  Expect(Rgb(shot, 24, 24) == 0x0000FF && Rgb(shot, 7, 7) == 0x0000FF, "box is too large");
  Expect(Rgb(shot, 34, 12) == 0xFFFF00 && Rgb(shot, 44, 20) == 0xFF00FF, "picture is wrong");
  Expect(Rgb(shot, 50, 36) == 0x00FF00 && Rgb(shot, 53, 39) == 0x00FF00 &&
             Rgb(shot, 54, 40) == 0x0000FF,
         "pasted pixmap is wrong");
  PresentFrame();
  CloseCanvas();

  if (failures) std::exit(1);
  std::puts("consumer ok");
}

}  // namespace

int main(int argc, char** argv) { return RunApplication(argc, argv, Run); }
