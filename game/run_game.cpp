#include "game/run_game.h"

#include "audio/clips_channels.h"
#include "framework/kelpora.h"
#include "audio/loaders/ogg_loader.h"
#include "audio/loaders/wav_loader.h"
#include "audio/mixer_backend.h"
#include "game/frame_timing.h"
#include "game/intro_scenes.h"
#include "game/level_scene.h"
#include "game/parallax_layer.h"
#include "gnet/gnet_host.h"
#include "graphics/gl_driver.h"
#include "graphics/glx_window.h"
#include "input/keyboard_mouse.h"
#include "pixmap/loaders/bmp_loader.h"
#include "pixmap/loaders/jpeg_loader.h"
#include "pixmap/loaders/png_loader.h"
#include "pixmap/loaders/tga_loader.h"
#include "runtime/deferred_release.h"
#include "runtime/errors.h"
#include "runtime/system_driver.h"
#include "stream/incbin.h"
#include "stream/socket.h"
#include "stream/stream.h"
#include "stream/text_stream.h"
#include "vex2d/graphics_mode.h"
#include "vex2d/image_font.h"
#include "vex2d/outline_font.h"

namespace kelpora::game {

namespace {

// One-shot guards of the start-up.
enum : uint32_t {
  GUARD_LAYERS = 1,       // the layer list is made
  GUARD_SKIP_CLOCK = 2,   // the frame-skip gate has its first reading
  GUARD_LEVEL_MUSIC = 4,  // the level music is started
};
uint32_t startFlags = 0;

}  // namespace


int32_t RunGame() {
  static bool ran = false;
  if (ran) return 0;
  ran = true;
  size_t releaseMark = DeferredReleaseMark();

  InitKelpora();
  if (!(startFlags & GUARD_LAYERS)) {
    Layers() = MakeRef<TObjectList>();
    startFlags |= GUARD_LAYERS;
  }
  if (!(startFlags & GUARD_SKIP_CLOCK)) {
    StartFrameSkipGate();
    startFlags |= GUARD_SKIP_CLOCK;
  }
  OpenCanvas(640, 480, 0, 60);
  HidePointer();

  ShowLogoScene();
  ShowTitleScene();
  LoadLevelOne();
  CreateLevelLayers();
  // The title music stops before the level music starts, with no frame between.
  ChannelHalt(titleChannel);
  if (!(startFlags & GUARD_LEVEL_MUSIC)) {
    levelChannel = StartClip(levelMusic, nullptr);
    startFlags |= GUARD_LEVEL_MUSIC;
  }
  RunLevelLoop(releaseMark);

  FlushDeferredReleases(releaseMark);
  return 0;
}

}  // namespace kelpora::game
