// The level: its loading screen, its pictures and the loop that runs it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "audio/clips_channels.h"
#include "vex2d/picture.h"

namespace kelpora::game {

// One strip of the level: its file, its row and its speed.
struct TLayerSpec {
  const char16_t* file;
  int32_t y;
  int32_t speed;
};

// The twelve strips in creation order, which is also the update and drawing order.
extern const std::array<TLayerSpec, 12> levelLayers;

extern Ref<TPicture> globePicture;
extern std::array<Ref<TPicture>, 12> layerPictures;
extern Ref<TPicture> backgroundPicture;
extern Ref<TPicture> moonPicture;
extern Ref<TPicture> heroPicture;
// The level music: opened with the level and streamed from when the level loop begins.
extern Ref<TSoundClip> levelMusic;
extern Ref<TPlayChannel> levelChannel;
extern int32_t heroTick;
extern int32_t heroFrame;

// Shows the loading screen, then loads every picture of the level and its music.
int32_t LoadLevelOne();
// Appends the twelve layers to Layers() in table order.
void CreateLevelLayers();
// Draws one frame of the level (everything but the present) and moves the
// layers and the hero on.
void DrawLevelFrame();
// Runs the level until Escape is hit, flushing the deferred releases down to
// `releaseMark` after every frame.
void RunLevelLoop(size_t releaseMark);
// One step of the hero's animation: each of the 6 frames lasts 6 steps.
void AdvanceHeroAnimation(int32_t& tick, int32_t& frame);

}  // namespace kelpora::game
