#include "graphics/glx_desktop.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glx.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <string_view>

namespace kelpora {

namespace {

// Runs `request` with X errors ignored: a window manager that has gone can
// leave properties naming windows that no longer exist, and some servers
// refuse swap-control requests; the default handler would end the program.
template <typename Request>
void IgnoringXErrors(Display* display, Request request) {
  XSync(display, False);
  XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  request();
  XSync(display, False);
  XSetErrorHandler(previous);
}

Atom AtomNamed(Display* display, const char* name) { return XInternAtom(display, name, False); }

// The window a property of type WINDOW names; 0 when there is none.
Window WindowProperty(Display* display, Window window, Atom property) {
  Window found = 0;
  IgnoringXErrors(display, [&] {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, property, 0, 1, False, XA_WINDOW, &type, &format,
                           &count, &after, &data) == Success &&
        data) {
      if (format == 32 && count == 1) found = *reinterpret_cast<Window*>(data);
      XFree(data);
    }
  });
  return found;
}

bool HasGLXExtension(Display* display, int screen, std::string_view wanted) {
  const char* all = glXQueryExtensionsString(display, screen);
  if (!all) return false;
  std::string_view list(all);
  for (size_t at = list.find(wanted); at != std::string_view::npos;
       at = list.find(wanted, at + 1)) {
    size_t end = at + wanted.size();
    if ((at == 0 || list[at - 1] == ' ') && (end == list.size() || list[end] == ' ')) return true;
  }
  return false;
}

}  // namespace

// The window manager names a live check window that names itself, and lists
// _NET_WM_STATE_FULLSCREEN among what it supports.
bool WindowManagerOffersFullScreen(Display* display, int screen) {
  Window root = RootWindow(display, screen);
  Atom check = AtomNamed(display, "_NET_SUPPORTING_WM_CHECK");
  Window wm = WindowProperty(display, root, check);
  if (!wm || WindowProperty(display, wm, check) != wm) return false;
  Atom fullScreen = AtomNamed(display, "_NET_WM_STATE_FULLSCREEN");
  bool offered = false;
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, root, AtomNamed(display, "_NET_SUPPORTED"), 0, 4096, False,
                         XA_ATOM, &type, &format, &count, &after, &data) == Success &&
      data) {
    auto* atoms = reinterpret_cast<Atom*>(data);
    if (format == 32) offered = std::find(atoms, atoms + count, fullScreen) != atoms + count;
    XFree(data);
  }
  return offered;
}

void RequestFullScreenState(Display* display, int screen, unsigned long window, bool on) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = AtomNamed(display, "_NET_WM_STATE");
  event.xclient.format = 32;
  event.xclient.data.l[0] = on ? 1 : 0;  // _NET_WM_STATE_ADD or _REMOVE
  event.xclient.data.l[1] = static_cast<long>(AtomNamed(display, "_NET_WM_STATE_FULLSCREEN"));
  event.xclient.data.l[3] = 1;  // asked by an application
  XSendEvent(display, RootWindow(display, screen), False,
             SubstructureRedirectMask | SubstructureNotifyMask, &event);
  XFlush(display);
}

TWindowPlace CoverScreen(Display* display, int screen, unsigned long window) {
  TWindowPlace place;
  Window root = RootWindow(display, screen), child = 0;
  unsigned border = 0, depth = 0;
  int x = 0, y = 0;
  XGetGeometry(display, window, &child, &x, &y, &place.width, &place.height, &border, &depth);
  XTranslateCoordinates(display, window, root, 0, 0, &place.x, &place.y, &child);
  XMoveResizeWindow(display, window, 0, 0, static_cast<unsigned>(DisplayWidth(display, screen)),
                    static_cast<unsigned>(DisplayHeight(display, screen)));
  XRaiseWindow(display, window);
  XFlush(display);
  return place;
}

// A texture, drawn as a quad at Present: that scales much faster than a
// framebuffer blit in software renderers.
bool MakeCanvasTarget(int32_t width, int32_t height, int32_t scaling, uint32_t& framebuffer,
                      uint32_t& texture) {
  GLint filter = scaling == SCALE_INTEGER ? GL_NEAREST : GL_LINEAR;
  GLint previous = 0;
  glGetIntegerv(GL_TEXTURE_BINDING_2D, &previous);
  glGenTextures(1, &texture);
  glBindTexture(GL_TEXTURE_2D, texture);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
  glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(previous));
  glGenFramebuffers(1, &framebuffer);
  glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
  return glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
}

void DeleteCanvasTarget(uint32_t& framebuffer, uint32_t& texture) {
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  if (framebuffer) glDeleteFramebuffers(1, &framebuffer);
  if (texture) glDeleteTextures(1, &texture);
  framebuffer = 0;
  texture = 0;
}

void BindCanvasTarget(uint32_t framebuffer) { glBindFramebuffer(GL_FRAMEBUFFER, framebuffer); }

void DrawCanvasScaled(uint32_t texture, const TCanvasViewport& v, int32_t windowWidth,
                      int32_t windowHeight) {
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  // The drawing layer caches GL state across frames: all of it comes back.
  glPushAttrib(GL_ALL_ATTRIB_BITS);
  glViewport(0, 0, windowWidth, windowHeight);
  glDisable(GL_BLEND);
  glDisable(GL_ALPHA_TEST);
  // GL counts rows from the bottom, in the window and in the canvas alike.
  int32_t bottom = windowHeight - v.y - v.height;
  // Only the bars are cleared: the canvas covers the rest.
  glClearColor(0, 0, 0, 1);
  glEnable(GL_SCISSOR_TEST);
  const TCanvasViewport bars[] = {
      {0, 0, windowWidth, bottom},
      {0, bottom + v.height, windowWidth, v.y},
      {0, bottom, v.x, v.height},
      {v.x + v.width, bottom, windowWidth - v.x - v.width, v.height},
  };
  for (const TCanvasViewport& bar : bars) {
    if (bar.width <= 0 || bar.height <= 0) continue;
    glScissor(bar.x, bar.y, bar.width, bar.height);
    glClear(GL_COLOR_BUFFER_BIT);
  }
  glDisable(GL_SCISSOR_TEST);
  for (GLenum mode : {GL_TEXTURE, GL_MODELVIEW, GL_PROJECTION}) {
    glMatrixMode(mode);
    glPushMatrix();
    glLoadIdentity();
  }
  glOrtho(0, windowWidth, 0, windowHeight, -1, 1);
  glEnable(GL_TEXTURE_2D);
  glBindTexture(GL_TEXTURE_2D, texture);
  glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
  auto left = static_cast<float>(v.x), right = static_cast<float>(v.x + v.width);
  auto low = static_cast<float>(bottom), high = static_cast<float>(bottom + v.height);
  glBegin(GL_QUADS);
  glTexCoord2f(0, 0);
  glVertex2f(left, low);
  glTexCoord2f(1, 0);
  glVertex2f(right, low);
  glTexCoord2f(1, 1);
  glVertex2f(right, high);
  glTexCoord2f(0, 1);
  glVertex2f(left, high);
  glEnd();
  for (GLenum mode : {GL_PROJECTION, GL_MODELVIEW, GL_TEXTURE}) {
    glMatrixMode(mode);
    glPopMatrix();
  }
  glPopAttrib();
}

void SetWindowSwapInterval(Display* display, int screen, int32_t interval) {
  GLXDrawable drawable = glXGetCurrentDrawable();
  if (!drawable) return;
  if (HasGLXExtension(display, screen, "GLX_EXT_swap_control")) {
    auto swapInterval = reinterpret_cast<PFNGLXSWAPINTERVALEXTPROC>(
        glXGetProcAddressARB(reinterpret_cast<const GLubyte*>("glXSwapIntervalEXT")));
    if (swapInterval) {
      IgnoringXErrors(display, [&] { swapInterval(display, drawable, interval); });
    }
  } else if (HasGLXExtension(display, screen, "GLX_MESA_swap_control")) {
    auto swapInterval = reinterpret_cast<PFNGLXSWAPINTERVALMESAPROC>(
        glXGetProcAddressARB(reinterpret_cast<const GLubyte*>("glXSwapIntervalMESA")));
    if (swapInterval) {
      IgnoringXErrors(display, [&] { swapInterval(static_cast<unsigned>(interval)); });
    }
  }
}

}  // namespace kelpora
