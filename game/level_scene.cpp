#include "game/level_scene.h"

#include "audio/stream_clip.h"
#include "game/frame_timing.h"
#include "game/game_files.h"
#include "game/parallax_layer.h"
#include "input/keyboard_mouse.h"
#include "runtime/deferred_release.h"
#include "runtime/text.h"
#include "vex2d/draw_state.h"
#include "vex2d/graphics_mode.h"
#include "vex2d/image_font.h"

namespace kelpora::game {

const std::array<TLayerSpec, 12> levelLayers = {{
    {u"DATAS/herbe0.png", 360, -2},
    {u"DATAS/herbe1.png", 364, -3},
    {u"DATAS/herbe2.png", 370, -4},
    {u"DATAS/herbe3.png", 384, -5},
    {u"DATAS/herbe4.png", 398, -6},
    {u"DATAS/nuages0.png", 60, -6},
    {u"DATAS/nuages1.png", 102, -5},
    {u"DATAS/nuages2.png", 182, -4},
    {u"DATAS/nuages3.png", 220, -3},
    {u"DATAS/nuages4.png", 238, -2},
    {u"DATAS/barriere.png", 378, -7},
    {u"DATAS/montagnes.png", 214, -1},
}};

Ref<TPicture> globePicture;
std::array<Ref<TPicture>, 12> layerPictures;
Ref<TPicture> backgroundPicture;
Ref<TPicture> moonPicture;
Ref<TPicture> heroPicture;
Ref<TSoundClip> levelMusic;
Ref<TPlayChannel> levelChannel;
int32_t heroTick = 0;
int32_t heroFrame = 0;

int32_t LoadLevelOne() {
  static bool globeLoaded = false;
  String globeUrl = RegisterGameFile(u"intro/globeintro.png");
  if (!globeLoaded) {
    globeLoaded = true;
    globePicture = LoadPicture(globeUrl, -1);
  }
  DrawPicture(globePicture, 0, 40, 0);
  DrawString(u"LEVEL 1", 290, 20);
  DrawString(u"Chargement en cours ...", 240, 456);
  PresentFrame();  // no clear: the loading screen stays up while the files load

  for (size_t i = 0; i < levelLayers.size(); ++i)
    layerPictures[i] = LoadPicture(RegisterGameFile(levelLayers[i].file), -1);
  backgroundPicture = LoadPicture(RegisterGameFile(u"DATAS/fond.jpg"), -1);
  moonPicture = LoadPicture(RegisterGameFile(u"DATAS/lune.png"), 1);
  levelMusic = StreamClip(RegisterGameFile(u"DATAS/music-level1.ogg"), 1);  // started with the level
  heroPicture = LoadAnimPicture(RegisterGameFile(u"DATAS/la-vask.png"), 80, 104, 0, 6, -1);
  ClearScreen();
  return 0;
}

void CreateLevelLayers() {
  for (size_t i = 0; i < levelLayers.size(); ++i)
    AddLayer(layerPictures[i], 0, levelLayers[i].y, levelLayers[i].speed);
}

void AdvanceHeroAnimation(int32_t& tick, int32_t& frame) {
  if (++tick == 6) {
    tick = 0;
    ++frame;
  }
  if (frame == 6) frame = 0;
}

void DrawLevelFrame() {
  DrawPicture(backgroundPicture, 0, 60, 0);
  DrawPicture(moonPicture, 534, 60, 0);
  UpdateLayers();
  DrawLayers();
  DrawString(u"V 0.1C", 10, 30);
  DrawString(u"FPS = " + FormatInt(MeasureFps()), 560, 30);
  DrawString(u"TOUCHE ESCAPE POUR QUITTER", 10, 450);
  DrawPicture(heroPicture, 270, 266, heroFrame);
  AdvanceHeroAnimation(heroTick, heroFrame);
}

void RunLevelLoop(size_t releaseMark) {
  while (!KeyHits(KEY_ESCAPE)) {
    DrawLevelFrame();
    PresentFrame();
    ClearScreen();
    FlushDeferredReleases(releaseMark);
  }
}

}  // namespace kelpora::game
