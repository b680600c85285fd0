// A picture of one frame: the top view (seen from above, sensor at the bottom
// centre, coloured by height) beside the range image (the scan's image
// coordinates, coloured by distance).
#ifndef VORLAN_TOOLS_RENDER_H
#define VORLAN_TOOLS_RENDER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vorlan_sdk.h"

namespace vorlan_tool {

// An 8-bit RGB picture, rows top to bottom.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // width * height * 3

    RgbImage(int w, int h, uint8_t grey) : width(w), height(h), pixels(static_cast<std::size_t>(w) * h * 3, grey) {}
    void set(int x, int y, const uint8_t (&rgb)[3]);
};

// Draws the valid points of a frame; the picture is 1200 x 600.
RgbImage render_frame(const VorlanSensorImagePoint* points, std::size_t n_points);

// Writes `image` as a PNG file; false with `error` filled when it cannot.
bool write_png(const std::string& path, const RgbImage& image, std::string& error);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_RENDER_H
