// Text drawn into a picture with a small built-in 5 x 7 pixel font, so that
// pictures carry their own titles, scales and legends. Letters are drawn as
// capitals; characters the font lacks are left blank.
#ifndef VORLAN_TOOLS_RASTER_TEXT_H
#define VORLAN_TOOLS_RASTER_TEXT_H

#include <cstdint>
#include <string>

#include "render.h"

namespace vorlan_tool {

// Width in pixels of `text` drawn at `scale` (each font pixel a scale x
// scale square, one blank column between characters).
int text_width(const std::string& text, int scale);

// Draws `text` with its top-left corner at (x, y).
void draw_text(RgbImage& image, int x, int y, const std::string& text, int scale, const uint8_t (&rgb)[3]);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_RASTER_TEXT_H
