// Mesa's off-screen renderer gives the overlay a real OpenGL context. The
// plug-in's gl* calls reach it because this library links libOSMesa, whose
// GL entry points the dynamic linker finds first in the global scope.
#include <GL/osmesa.h>

#include "host_internal.h"

namespace ofxhost::detail {
namespace {

std::mutex gGlMu;

}  // namespace

GlOffscreen::GlOffscreen(int width, int height, OfxRectD view)
    : lock_(gGlMu), width_(width), height_(height) {
  if (width <= 0 || height <= 0 || !(view.x2 != view.x1) || !(view.y2 != view.y1)) return;
  OSMesaContext ctx = OSMesaCreateContextExt(OSMESA_RGBA, 0, 0, 0, nullptr);
  if (!ctx) return;
  context_ = ctx;
  buffer_.assign(static_cast<size_t>(width) * height * 4, 0);
  if (!OSMesaMakeCurrent(ctx, buffer_.data(), GL_UNSIGNED_BYTE, width, height)) return;
  current_ = true;
  glViewport(0, 0, width, height);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glOrtho(view.x1, view.x2, view.y1, view.y2, -1.0, 1.0);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glClearColor(0.f, 0.f, 0.f, 0.f);
  glClear(GL_COLOR_BUFFER_BIT);
}

GlOffscreen::~GlOffscreen() {
  if (current_) OSMesaMakeCurrent(nullptr, nullptr, 0, 0, 0);
  if (context_) OSMesaDestroyContext(static_cast<OSMesaContext>(context_));
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
