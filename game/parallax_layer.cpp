#include "game/parallax_layer.h"

#include "game/frame_timing.h"

namespace kelpora::game {

void TParallaxLayer::Update() {
  x += speed;
  if (x < -639) x = 0;
  if (x > 639) x = 0;
}

void TParallaxLayer::Draw() {
  DrawPicture(picture, static_cast<float>(x), static_cast<float>(y), 0);
  DrawPicture(picture, static_cast<float>(x + 640), static_cast<float>(y), 0);
  DrawPicture(picture, static_cast<float>(x - 640), static_cast<float>(y), 0);
}

Ref<TObjectList>& Layers() {
  static auto* layers = new Ref<TObjectList>();
  return *layers;
}

Ref<TParallaxLayer> AddLayer(const Ref<TPicture>& picture, int32_t x, int32_t y, int32_t speed) {
  auto layer = MakeRef<TParallaxLayer>(picture, x, y, speed);
  Layers()->AddLast(layer);
  return layer;
}

// Calls `step` on every element of the layer list that is a layer.
template <class Step>
static void ForEachLayer(Step step) {
  for (auto e = Layers()->Enumerate(); e->HasNext();)
    if (auto layer = RefCast<TParallaxLayer>(e->NextObject())) step(*layer);
}

int32_t UpdateLayers() {
  if (FrameSkipDue()) ForEachLayer([](TParallaxLayer& layer) { layer.Update(); });
  return 0;
}

int32_t DrawLayers() {
  ForEachLayer([](TParallaxLayer& layer) { layer.Draw(); });
  return 0;
}

}  // namespace kelpora::game
