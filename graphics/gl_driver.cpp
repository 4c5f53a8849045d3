#include "graphics/gl_driver.h"

#include <GL/gl.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "graphics/glx_window.h"
#include "runtime/errors.h"

namespace kelpora {

TGLDriverStats glDriverStats;

namespace {

struct TDriverState {
  Ref<TGLGraphicsContext> boundContext;
  int32_t targetWidth = 0;
  int32_t targetHeight = 0;
  int32_t blendMode = 0;
  // False after BindContext: the context's blend state is unknown then, so
  // the next ApplyBlend is always issued, whatever the mode.
  bool blendKnown = false;
  GLuint boundTexture = 0;
  bool texturing = false;
  GLubyte colour[4] = {0, 0, 0, 0};
  float ix = 0, iy = 0, jx = 0, jy = 0;
};

TDriverState& S() {
  static auto* state = new TDriverState();
  return *state;
}

constexpr size_t kBatchCorners = 4 * 4096;

// Textured quads wait here while nothing else changes what GL draws, then go
// in one glDrawArrays: a call per corner costs more than drawing a small
// sprite. Anything that draws otherwise, changes state that the quads depend
// on, reads pixels, swaps or switches contexts flushes first.
struct TQuadBatch {
  TQuadBatch() { corners.reserve(kBatchCorners * 4 + 16); }
  std::vector<float> corners;  // x, y, s, t for each corner
  GLuint texture = 0;
};

TQuadBatch& Batch() {
  static auto* batch = new TQuadBatch();
  return *batch;
}

void FlushQuads();

void TexturingOn(GLuint texture) {
  TDriverState& s = S();
  if (texture != s.boundTexture) {
    glBindTexture(GL_TEXTURE_2D, texture);
    s.boundTexture = texture;
    ++glDriverStats.textureBinds;
  }
  if (!s.texturing) {
    glEnable(GL_TEXTURE_2D);
    s.texturing = true;
    ++glDriverStats.textureEnables;
  }
}

void TexturingOff() {
  FlushQuads();
  TDriverState& s = S();
  if (s.texturing) {
    glDisable(GL_TEXTURE_2D);
    s.texturing = false;
  }
}

void FlushQuads() {
  TQuadBatch& b = Batch();
  if (b.corners.empty()) return;
  TexturingOn(b.texture);
  glEnableClientState(GL_VERTEX_ARRAY);
  glEnableClientState(GL_TEXTURE_COORD_ARRAY);
  glVertexPointer(2, GL_FLOAT, 4 * sizeof(float), b.corners.data());
  glTexCoordPointer(2, GL_FLOAT, 4 * sizeof(float), b.corners.data() + 2);
  glDrawArrays(GL_QUADS, 0, static_cast<GLsizei>(b.corners.size() / 4));
  glDisableClientState(GL_TEXTURE_COORD_ARRAY);
  glDisableClientState(GL_VERTEX_ARRAY);
  b.corners.clear();
  ++glDriverStats.batches;
}

// A transformed local point.
void Vertex(float x, float y, float tx, float ty, float offset = 0.0f) {
  const TDriverState& s = S();
  glVertex2f(x * s.ix + y * s.iy + tx + offset, x * s.jx + y * s.jy + ty + offset);
}

// Largest accepted power-of-two size for a texture of at least width × height.
void FitTextureSize(int32_t& width, int32_t& height) {
  width = TexturePowerOfTwo(width);
  height = TexturePowerOfTwo(height);
  for (;;) {
    glTexImage2D(GL_PROXY_TEXTURE_2D, 0, 4, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    GLint accepted = 0;
    glGetTexLevelParameteriv(GL_PROXY_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &accepted);
    if (accepted != 0) return;
    if (width == 1 && height == 1) RaiseError(u"Unable to calculate tex size");
    if (width > 1) width /= 2;
    if (height > 1) height /= 2;
  }
}

GLuint CreateTexture(int32_t width, int32_t height, int32_t flags) {
  GLuint texture = 0;
  glGenTextures(1, &texture);
  glBindTexture(GL_TEXTURE_2D, texture);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER,
                  (flags & FRAME_FILTERED) ? GL_LINEAR : GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER,
                  (flags & FRAME_MIPMAPPED) ? GL_LINEAR_MIPMAP_LINEAR : GL_NEAREST);
  for (GLint level = 0;; ++level) {
    glTexImage2D(GL_TEXTURE_2D, level, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                 nullptr);
    if (!(flags & FRAME_MIPMAPPED) || (width == 1 && height == 1)) break;
    if (width > 1) width /= 2;
    if (height > 1) height /= 2;
  }
  return texture;
}

void UploadTexture(Ref<TPixmap> pixmap, int32_t flags) {
  for (GLint level = 0;; ++level) {
    int32_t bytes = BytesPerPixel(pixmap->format);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, bytes ? pixmap->pitch / bytes : 0);
    glTexSubImage2D(GL_TEXTURE_2D, level, 0, 0, pixmap->width, pixmap->height, GL_RGBA,
                    GL_UNSIGNED_BYTE, pixmap->pixels);
    if (!(flags & FRAME_MIPMAPPED)) break;
    int32_t w = pixmap->width, h = pixmap->height;
    if (w <= 1 && h <= 1) break;
    pixmap = ScalePixmap(pixmap, w > 1 ? w / 2 : w, h > 1 ? h / 2 : h);
  }
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
}

}  // namespace

uint8_t AlphaByte(float alpha) {
  // Not a number counts as 0, like any value below 0.
  if (!(alpha >= 0.0f)) alpha = 0.0f;
  if (alpha > 1.0f) alpha = 1.0f;
  return static_cast<uint8_t>(alpha * 255.0f);
}

int32_t EllipseSegments(float rx, float ry) {
  float sum = std::fabs(rx) + std::fabs(ry);
  // Not a number gives the minimum; a huge ellipse is capped rather than overflowing.
  int32_t n = 12;
  if (sum >= 12.0f) n = sum < 1e6f ? static_cast<int32_t>(sum) : 1000000;
  return n & ~3;
}

int32_t TexturePowerOfTwo(int32_t size) {
  int32_t power = 1;
  while (power < size && power < (1 << 30)) power *= 2;
  return power;
}

TGLImageFrame::~TGLImageFrame() {
  if (Batch().texture == texture) FlushQuads();
  if (!texture || !GLMakeTextureContextCurrent(sharedContext)) return;
  glDeleteTextures(1, &texture);
  // GL hands the name out again; the cache must not take it for bound then.
  if (S().boundTexture == texture) S().boundTexture = 0;
}

void TGLImageFrame::Draw(float x0, float y0, float x1, float y1, float tx, float ty) {
  TQuadBatch& b = Batch();
  if (b.texture != texture || b.corners.size() >= 4 * kBatchCorners) {
    FlushQuads();
    b.texture = texture;
  }
  const TDriverState& s = S();
  const size_t at = b.corners.size();
  b.corners.resize(at + 16);
  float* c = b.corners.data() + at;
  auto corner = [&](float* out, float x, float y, float u, float v) {
    out[0] = x * s.ix + y * s.iy + tx;
    out[1] = x * s.jx + y * s.jy + ty;
    out[2] = u;
    out[3] = v;
  };
  corner(c, x0, y0, sMin, tMin);
  corner(c + 4, x1, y0, sMax, tMin);
  corner(c + 8, x1, y1, sMax, tMax);
  corner(c + 12, x0, y1, sMin, tMax);
}

Ref<TGLImageFrame> TGLImageFrame::FromPixmap(const Ref<TPixmap>& source, int32_t flags) {
  Ref<TPixmap> pixmap = source;
  int32_t sourceWidth = std::max(pixmap->width, 0);
  int32_t sourceHeight = std::max(pixmap->height, 0);
  int32_t textureWidth = sourceWidth, textureHeight = sourceHeight;
  FitTextureSize(textureWidth, textureHeight);
  int32_t w = std::min(sourceWidth, textureWidth);
  int32_t h = std::min(sourceHeight, textureHeight);
  if (w != pixmap->width || h != pixmap->height) pixmap = ScalePixmap(pixmap, w, h);
  if (w < textureWidth || h < textureHeight) {
    Ref<TPixmap> padded = MakePixmap(textureWidth, textureHeight, PIXFMT_RGBA32, 4);
    // An empty pixmap has no edge to repeat; its texture stays transparent.
    if (w > 0 && h > 0) {
      padded->PasteFrom(pixmap, 0, 0);
      // Repeat the last column and row so filtering at the edge of the used
      // area never reads texels from outside it.
      if (w < textureWidth) padded->PasteFrom(pixmap->SubRegion(w - 1, 0, 1, h), w, 0);
      if (h < textureHeight) {
        padded->PasteFrom(pixmap->SubRegion(0, h - 1, w, 1), 0, h);
        if (w < textureWidth) padded->PasteFrom(pixmap->SubRegion(w - 1, h - 1, 1, 1), w, h);
      }
    }
    pixmap = padded;
  } else if (pixmap->format != PIXFMT_RGBA32) {
    pixmap = pixmap->ToFormat(PIXFMT_RGBA32);
  }
  auto frame = MakeRef<TGLImageFrame>();
  frame->texture = CreateTexture(textureWidth, textureHeight, flags);
  UploadTexture(pixmap, flags);
  frame->sMax = static_cast<float>(w) / static_cast<float>(textureWidth);
  frame->tMax = static_cast<float>(h) / static_cast<float>(textureHeight);
  frame->generation = graphicsGeneration;
  frame->sharedContext = GLSharedContextSerial();
  // Creating the texture bound it behind the cache's back; in full screen that
  // happens in the drawing context itself, so put the cached binding back.
  glBindTexture(GL_TEXTURE_2D, S().boundTexture);
  return frame;
}

Ref<TGraphicsContext> TGLVex2DDriver::OpenOnWindow(uint64_t window, int32_t flags) {
  Ref<TGraphicsContext> context = GLGraphicsDriver()->OpenOnWindow(window, flags);
  if (!context) return nullptr;
  return TVex2DGraphics::Create(context, Ref<TVex2DDriver>(this));
}

Ref<TGraphicsContext> TGLVex2DDriver::OpenGraphics(int32_t width, int32_t height, int32_t depth,
                                                   int32_t hertz, int32_t flags) {
  Ref<TGraphicsContext> context =
      GLGraphicsDriver()->OpenGraphics(width, height, depth, hertz, flags);
  if (!context) return nullptr;
  return TVex2DGraphics::Create(context, Ref<TVex2DDriver>(this));
}

void TGLVex2DDriver::SetPointerShown(int32_t shown) { GLGraphicsDriver()->SetPointerShown(shown); }

void TGLVex2DDriver::SetSwapInterval(int32_t interval) {
  GLGraphicsDriver()->SetSwapInterval(interval);
}

Ref<TDisplayModeArray> TGLVex2DDriver::ListDisplayModes() {
  return GLGraphicsDriver()->ListDisplayModes();
}

void TGLVex2DDriver::BindContext(const Ref<TGraphicsContext>& context, int32_t width,
                                 int32_t height) {
  FlushQuads();
  TDriverState& s = S();
  s.boundContext = RefCast<TGLGraphicsContext>(context);
  s.blendMode = 0;
  s.blendKnown = false;
  s.boundTexture = 0;
  s.texturing = false;
  s.targetWidth = width;
  s.targetHeight = height;
  glViewport(0, 0, width, height);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glOrtho(0, width, height, 0, -1, 1);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glDisable(GL_TEXTURE_2D);
  glBindTexture(GL_TEXTURE_2D, 0);
}

void TGLVex2DDriver::UnbindContext() {
  FlushQuads();
  S().boundContext = nullptr;
}

Ref<TImageFrame> TGLVex2DDriver::MakeFrame(const Ref<TPixmap>& pixmap, int32_t flags) {
  FlushQuads();
  Ref<TGLGraphicsDriver> platform = GLGraphicsDriver();
  platform->SwitchContext();
  Ref<TGLImageFrame> frame;
  try {
    frame = TGLImageFrame::FromPixmap(pixmap, flags);
  } catch (...) {
    platform->SwitchContext();
    throw;
  }
  platform->SwitchContext();
  return frame;
}

void TGLVex2DDriver::ApplyBlend(int32_t mode) {
  TDriverState& s = S();
  if (s.blendKnown && mode == s.blendMode) return;
  FlushQuads();
  s.blendMode = mode;
  s.blendKnown = true;
  ++glDriverStats.blendChanges;
  switch (mode) {
    case BLEND_MASKED:
      glDisable(GL_BLEND);
      glEnable(GL_ALPHA_TEST);
      glAlphaFunc(GL_GEQUAL, 0.5f);
      break;
    case BLEND_ALPHA:
      glEnable(GL_BLEND);
      glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
      glDisable(GL_ALPHA_TEST);
      break;
    case BLEND_ADDITIVE:
      glEnable(GL_BLEND);
      glBlendFunc(GL_SRC_ALPHA, GL_ONE);
      glDisable(GL_ALPHA_TEST);
      break;
    case BLEND_MULTIPLY:
      glEnable(GL_BLEND);
      glBlendFunc(GL_DST_COLOR, GL_ZERO);
      glDisable(GL_ALPHA_TEST);
      break;
    default:
      glDisable(GL_BLEND);
      glDisable(GL_ALPHA_TEST);
      break;
  }
}

void TGLVex2DDriver::ApplyAlpha(float alpha) {
  FlushQuads();
  TDriverState& s = S();
  s.colour[3] = AlphaByte(alpha);
  glColor4ubv(s.colour);
}

void TGLVex2DDriver::ApplyColor(int32_t red, int32_t green, int32_t blue) {
  FlushQuads();
  TDriverState& s = S();
  s.colour[0] = static_cast<GLubyte>(red);
  s.colour[1] = static_cast<GLubyte>(green);
  s.colour[2] = static_cast<GLubyte>(blue);
  glColor4ubv(s.colour);
}

void TGLVex2DDriver::ApplyClearColor(int32_t red, int32_t green, int32_t blue) {
  glClearColor(static_cast<float>(red) / 255.0f, static_cast<float>(green) / 255.0f,
               static_cast<float>(blue) / 255.0f, 1.0f);
}

void TGLVex2DDriver::ApplyClip(int32_t x, int32_t y, int32_t width, int32_t height) {
  FlushQuads();
  const TDriverState& s = S();
  if (x == 0 && y == 0 && width == s.targetWidth && height == s.targetHeight) {
    glDisable(GL_SCISSOR_TEST);
    return;
  }
  glEnable(GL_SCISSOR_TEST);
  glScissor(x, s.targetHeight - y - height, width, height);
}

void TGLVex2DDriver::ApplyTransform(float ix, float iy, float jx, float jy) {
  TDriverState& s = S();
  s.ix = ix;
  s.iy = iy;
  s.jx = jx;
  s.jy = jy;
}

void TGLVex2DDriver::ApplyLineWidth(float width) { glLineWidth(width); }

void TGLVex2DDriver::ClearTarget() {
  FlushQuads();
  glClear(GL_COLOR_BUFFER_BIT);
}

void TGLVex2DDriver::DrawPoint(float x, float y) {
  TexturingOff();
  glBegin(GL_POINTS);
  glVertex2f(x + 0.5f, y + 0.5f);
  glEnd();
}

void TGLVex2DDriver::DrawSegment(float x0, float y0, float x1, float y1, float tx, float ty) {
  TexturingOff();
  glBegin(GL_LINES);
  Vertex(x0, y0, tx, ty, 0.5f);
  Vertex(x1, y1, tx, ty, 0.5f);
  glEnd();
}

void TGLVex2DDriver::DrawBox(float x0, float y0, float x1, float y1, float tx, float ty) {
  TexturingOff();
  glBegin(GL_QUADS);
  Vertex(x0, y0, tx, ty);
  Vertex(x1, y0, tx, ty);
  Vertex(x1, y1, tx, ty);
  Vertex(x0, y1, tx, ty);
  glEnd();
}

void TGLVex2DDriver::DrawEllipse(float x0, float y0, float x1, float y1, float tx, float ty) {
  float rx = (x1 - x0) * 0.5f;
  float ry = (y1 - y0) * 0.5f;
  float cx = x0 + rx;
  float cy = y0 + ry;
  int32_t n = EllipseSegments(rx, ry);
  TexturingOff();
  glBegin(GL_POLYGON);
  for (int32_t i = 0; i < n; ++i) {
    double a = static_cast<double>(i) * 360.0 / n * std::numbers::pi / 180.0;
    Vertex(cx + rx * static_cast<float>(std::cos(a)), cy - ry * static_cast<float>(std::sin(a)), tx,
           ty);
  }
  glEnd();
}

void TGLVex2DDriver::DrawPolygon(const Ref<TFloatArray>& points, float hx, float hy, float tx,
                                 float ty) {
  if (!points) return;
  size_t count = points->Length();
  if (count < 6 || count % 2 != 0) return;
  const float* xy = points->Data();
  TexturingOff();
  glBegin(GL_POLYGON);
  for (size_t i = 0; i < count; i += 2) Vertex(xy[i] + hx, xy[i + 1] + hy, tx, ty);
  glEnd();
}

void TGLVex2DDriver::BlitPixmap(const Ref<TPixmap>& pixmap, int32_t x, int32_t y) {
  if (pixmap->width <= 0 || pixmap->height <= 0) return;
  TDriverState& s = S();
  int32_t savedBlend = s.blendMode;
  bool savedKnown = s.blendKnown;
  TexturingOff();
  ApplyBlend(BLEND_SOLID);
  Ref<TPixmap> flipped = FlipPixmap(pixmap);
  if (flipped->format != PIXFMT_RGBA32) flipped = flipped->ToFormat(PIXFMT_RGBA32);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, flipped->pitch / 4);
  glRasterPos2i(0, 0);
  glBitmap(0, 0, 0, 0, static_cast<float>(x), static_cast<float>(-y - pixmap->height), nullptr);
  glDrawPixels(flipped->width, flipped->height, GL_RGBA, GL_UNSIGNED_BYTE, flipped->pixels);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  if (savedKnown) ApplyBlend(savedBlend);
}

Ref<TPixmap> TGLVex2DDriver::ReadPixels(int32_t x, int32_t y, int32_t width, int32_t height) {
  FlushQuads();
  TDriverState& s = S();
  int32_t savedBlend = s.blendMode;
  bool savedKnown = s.blendKnown;
  ApplyBlend(BLEND_SOLID);
  Ref<TPixmap> pixmap = MakePixmap(width, height, PIXFMT_RGBA32, 4);
  if (width > 0 && height > 0) {
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(x, s.targetHeight - height - y, width, height, GL_RGBA, GL_UNSIGNED_BYTE,
                 pixmap->pixels);
  }
  if (savedKnown) ApplyBlend(savedBlend);
  return FlipPixmap(pixmap);
}

Ref<TGLVex2DDriver> GLVex2DDriver() {
  static auto* driver = new Ref<TGLVex2DDriver>(MakeRef<TGLVex2DDriver>());
  return *driver;
}

void InitGLDriverModule() {
  static bool initialised = false;
  if (initialised) return;
  initialised = true;
  InitVex2DModule();
  InitGLGraphicsModule();
  InitPixmapModule();
  InstallGraphicsDriver(GLVex2DDriver(), 2);
  SetGLFlushHook(FlushQuads);
}

}  // namespace kelpora
