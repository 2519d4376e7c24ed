// What `mattivo pull` writes: RGBA and matte PNG sequences and a contact sheet.
#pragma once

#include <string>
#include <vector>

#include "ofxhost/ofx_host.h"

namespace mattivo {

// Writes an 8-bit host image (bottom row first) as a top-down PNG.
// channels 4 keeps RGBA; channels 1 keeps the red channel as grey.
bool write_png(const std::string& path, ofxhost::Image& image, int channels);

struct SheetTile {
  std::string rgba_png;  // a premultiplied RGBA frame written by write_png
  int frame = 0;
};

// A grid of frames composited over a checkerboard, for a person to look at.
bool write_contact_sheet(const std::string& path, const std::vector<SheetTile>& tiles, int tile_width = 320,
                         int columns = 4);

}  // namespace mattivo
