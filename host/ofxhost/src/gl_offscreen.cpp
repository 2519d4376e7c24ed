// Mesa's off-screen renderer gives the overlay a real OpenGL context. The
// plug-in's gl* calls reach it because this library links libOSMesa, whose
// GL entry points the dynamic linker finds first in the global scope.
#include <GL/osmesa.h>

#include "host_internal.h"

namespace ofxhost::detail {
namespace {

std::mutex gGlMu;

// One context serves every draw, bound to the drawing thread for the length
// of the draw: Mesa keeps a little memory for each context it ever made, so
// making one per draw would grow without bound.
OSMesaContext shared_context() {
  static OSMesaContext ctx = OSMesaCreateContextExt(OSMESA_RGBA, 0, 0, 0, nullptr);
  return ctx;
}

}  // namespace

GlOffscreen::GlOffscreen(int width, int height, OfxRectD view)
    : lock_(gGlMu), width_(width), height_(height) {
  if (width <= 0 || height <= 0 || !(view.x2 != view.x1) || !(view.y2 != view.y1)) return;
  OSMesaContext ctx = shared_context();
  if (!ctx) return;
  buffer_.assign(static_cast<size_t>(width) * height * 4, 0);
  if (!OSMesaMakeCurrent(ctx, buffer_.data(), GL_UNSIGNED_BYTE, width, height)) return;
  current_ = true;
  // The context is shared: reset all the state a previous overlay may have left.
  glViewport(0, 0, width, height);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glOrtho(view.x1, view.x2, view.y1, view.y2, -1.0, 1.0);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glDisable(GL_BLEND);
  glDisable(GL_DEPTH_TEST);
  glDisable(GL_TEXTURE_2D);
  glLineWidth(1.f);
  glPointSize(1.f);
  glColor4f(1.f, 1.f, 1.f, 1.f);
  glClearColor(0.f, 0.f, 0.f, 0.f);
  glClear(GL_COLOR_BUFFER_BIT);
}

GlOffscreen::~GlOffscreen() {
  if (current_) OSMesaMakeCurrent(nullptr, nullptr, 0, 0, 0);
}

std::vector<unsigned char> GlOffscreen::read() {
  if (!current_) return {};
  glFinish();
  std::vector<unsigned char> pixels(static_cast<size_t>(width_) * height_ * 4);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, width_, height_, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
  return pixels;
}

}  // namespace ofxhost::detail

#if defined(__SANITIZE_ADDRESS__)
// Mesa itself never frees a few hundred bytes of its set-up; the leak checker
// would blame every program that draws an overlay.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libOSMesa.so\n";
}
#endif
