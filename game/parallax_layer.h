// The level's scrolling strips.
#pragma once

#include <cstdint>

#include "runtime/object.h"
#include "runtime/object_list.h"
#include "vex2d/picture.h"

namespace kelpora::game {

// One horizontal strip, 640 pixels wide, drawn three times side by side so
// that any offset within ±639 covers the screen.
class TParallaxLayer : public TObject {
 public:
  TParallaxLayer(Ref<TPicture> picture, int32_t x, int32_t y, int32_t speed)
      : picture(std::move(picture)), x(x), y(y), speed(speed) {}

  // Moves by `speed`; an offset past ±639 starts again at 0 (a reset, not a wrap).
  void Update();
  void Draw();

  Ref<TPicture> picture;
  int32_t x;
  int32_t y;
  int32_t speed;
};

// Every layer of the level, in update and drawing order.
Ref<TObjectList>& Layers();

// Creates a layer and appends it to Layers().
Ref<TParallaxLayer> AddLayer(const Ref<TPicture>& picture, int32_t x, int32_t y, int32_t speed);
// Moves every layer when the frame-skip gate says so.
int32_t UpdateLayers();
int32_t DrawLayers();

}  // namespace kelpora::game
