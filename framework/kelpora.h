// The whole framework in one include, and one call that starts it.
#pragma once

#include "audio/clips_channels.h"
#include "input/input_events.h"
#include "input/keyboard_mouse.h"
#include "input/keys.h"
#include "runtime/clock.h"
#include "runtime/errors.h"
#include "runtime/load_errors.h"
#include "runtime/startup.h"
#include "runtime/system_driver.h"
#include "runtime/text.h"
#include "stream/incbin.h"
#include "stream/stream.h"
#include "vex2d/draw_state.h"
#include "vex2d/graphics_mode.h"
#include "vex2d/image_font.h"
#include "vex2d/picture.h"

namespace kelpora {

// What InitKelpora starts; everything by default. Leaving a part out leaves
// its initialisers uncalled (and its code unused), nothing else.
struct TKelporaOptions {
  bool graphics = true;  // OpenGL drawing, the 2D layer and its fonts
  bool sound = true;     // sound clips, their loaders and the output device
  bool network = true;   // "http::" streams and GNet
};

// Runs every module initialiser, in the order the demo uses: the loaders for
// pictures (PNG, Targa, JPEG, BMP) and sounds (WAV, Ogg), embedded files,
// input, and what `options` asks for. Safe to call again; a later call with
// more parts switched on starts those too. The separate Init...Module
// functions stay for programs that want only some modules.
void InitKelpora(const TKelporaOptions& options = {});

}  // namespace kelpora
