// A picture of one frame: a title line (sensor, time, points), the top view
// (seen from above, the sensor marked at the bottom centre, a grid in metres
// and a scale bar) beside the range image (the scan's image coordinates,
// coloured by distance), and a colour legend for each. The scales are fixed
// by the render options, not by the frame, so frames of one sensor drawn
// with the same options compare directly.
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

// What the top view's colours show.
enum class ColourBy { height, intensity, distance };

// "height", "intensity", "distance"; false for anything else.
bool parse_colour_by(const std::string& text, ColourBy& colour_by);

struct RenderOptions {
    std::string title;
    ColourBy colour_by = ColourBy::height;
    // Metres ahead shown by the top view (its width is the same); also the
    // top of the distance colours.
    double reach = 50.0;
    // Metres, relative to the sensor, of the height colours.
    double height_low = -2.0;
    double height_high = 6.0;
    // Calibrated intensity of the intensity colours.
    double intensity_high = 100.0;
    // The range image's axes in image coordinates.
    double image_x_low = -0.8;
    double image_x_high = 0.8;
    double image_z_low = -0.8;
    double image_z_high = 0.8;
};

// The picture is 1200 x 664: a title band, the two 600 x 600 panels, and a
// legend band. Only valid points are drawn.
constexpr int kRenderWidth = 1200;
constexpr int kRenderHeight = 664;
RgbImage render_frame(const VorlanSensorImagePoint* points, std::size_t n_points,
                      const RenderOptions& options = RenderOptions());

// Whether `path` names a picture format the tool writes (PNG: ".png").
bool is_png_name(const std::string& path);

// Writes `image` as a PNG file; false with `error` filled when it cannot.
bool write_png(const std::string& path, const RgbImage& image, std::string& error);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_RENDER_H
