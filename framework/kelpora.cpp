#include "framework/kelpora.h"

#include "audio/loaders/ogg_loader.h"
#include "audio/loaders/wav_loader.h"
#include "audio/mixer_backend.h"
#include "audio/sample.h"
#include "gnet/gnet_host.h"
#include "graphics/gl_driver.h"
#include "graphics/glx_window.h"
#include "pixmap/loaders/bmp_loader.h"
#include "pixmap/loaders/jpeg_loader.h"
#include "pixmap/loaders/png_loader.h"
#include "pixmap/loaders/tga_loader.h"
#include "stream/socket.h"
#include "stream/text_stream.h"
#include "vex2d/outline_font.h"

namespace kelpora {

void InitKelpora(const TKelporaOptions& options) {
  // Loaders are asked newest first: registering BMP, JPEG, Targa, then PNG
  // makes the chain ask PNG, Targa, JPEG, BMP; likewise WAV before Ogg.
  InitErrorModule();
  InitBmpLoader();
  InitSystemModule();
  InitInputModule();
  InitStreamModule();
  InitTextStreamModule();
  if (options.network) InitNetworkModule();
  InitIncbinModule();
  if (options.sound) {
    InitSampleModule();
    InitOggLoader();
  }
  if (options.graphics) InitOutlineFontModule();
  if (options.sound) InitWavLoader();
  if (options.graphics) InitGLGraphicsModule();
  InitJpegLoader();
  if (options.graphics) InitVex2DModule();
  if (options.sound) InitAudioModule();
  if (options.graphics) InitImageFontModule();
  if (options.network) InitGNetModule();
  if (options.graphics) InitGLDriverModule();
  InitTgaLoader();
  if (options.sound) InitMixerBackendModule();
  InitPngLoader();
}

}  // namespace kelpora
