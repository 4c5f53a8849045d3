#include "game/intro_scenes.h"

#include "audio/stream_clip.h"
#include "game/game_files.h"
#include "input/keyboard_mouse.h"
#include "vex2d/draw_state.h"
#include "vex2d/graphics_mode.h"
#include "vex2d/image_font.h"

namespace kelpora::game {

const std::u16string_view creditsLine =
    u"NOCTAMBULE - LA COURSE AU CLAIR DE LUNE  ***  PROGRAMMATION : L'EQUIPE KELPORA, QUI A "
    u"ECRIT LE MOTEUR, LES SCENES ET LE DEFILEMENT PARALLAXE  ***  GRAPHISMES : L'ATELIER KELP "
    u"LANTERN, POUR LE CIEL ETOILE, LA LUNE, LES NUAGES, LES MONTAGNES, LA BARRIERE ET NOTRE "
    u"COUREUR NOCTURNE  ***  MUSIQUE : LE STUDIO SONORE DE L'EQUIPE KELPORA, DEUX THEMES "
    u"SYNTHETISES NOTE APRES NOTE POUR L'ECRAN TITRE ET POUR LE PREMIER NIVEAU  ***  MERCI "
    u"D'AVOIR JOUE ! APPUYEZ SUR ESCAPE POUR COMMENCER LA COURSE, PUIS ENCORE SUR ESCAPE POUR "
    u"QUITTER LE JEU.  BONNE NUIT A TOUS ET A TOUTES !";

Ref<TPicture> logoPicture;
Ref<TPicture> titlePicture;
Ref<TSoundClip> titleMusic;
Ref<TPlayChannel> titleChannel;
int32_t logoFrameCounter = 1;
int32_t creditsX = 800;

int32_t ShowLogoScene() {
  logoPicture = LoadPicture(RegisterGameFile(u"intro/logo-tamo.jpg"), -1);
  while (logoFrameCounter <= 100) {
    DrawPicture(logoPicture, 0, 0, 0);
    ++logoFrameCounter;
    PresentFrame();
    ClearScreen();
  }
  return 0;
}

int32_t NextCreditsX(int32_t x) {
  x -= 2;
  return x < -4500 ? 800 : x;
}

int32_t ShowTitleScene() {
  // The music starts first, so it already plays while the title picture decodes.
  titleMusic = StreamClip(RegisterGameFile(u"intro/intromusic.ogg"), 1);
  titleChannel = StartClip(titleMusic, nullptr);
  titlePicture = LoadPicture(RegisterGameFile(u"intro/introtitre.jpg"), -1);
  while (!KeyHits(KEY_ESCAPE)) {
    DrawPicture(titlePicture, 0, 0, 0);
    DrawString(creditsLine, static_cast<float>(creditsX), 446);
    creditsX = NextCreditsX(creditsX);
    PresentFrame();
    ClearScreen();
  }
  return 0;
}

}  // namespace kelpora::game
