// Source frames for the headless host, in either depth, from a colour rule.
#pragma once

#include <algorithm>
#include <string>

#include "ofxhost/ofx_host.h"

namespace testing_frames {

// An image of w x h whose pixel (x, y) (host rows, bottom up) gets the RGBA
// bytes colour(x, y, rgba) writes; float images get them scaled to 0..1.
template <class Colour>
ofxhost::Image host_frame(int w, int h, const std::string& depth, Colour colour) {
  ofxhost::Image image = ofxhost::make_image({0, 0, w, h}, depth);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      unsigned char c[4];
      colour(x, y, c);
      if (depth == kOfxBitDepthFloat) {
        float* p = image.pixelf(x, y);
        for (int k = 0; k < 4; ++k) p[k] = c[k] / 255.0f;
      } else {
        std::copy(c, c + 4, image.pixel8(x, y));
      }
    }
  }
  return image;
}

}  // namespace testing_frames
