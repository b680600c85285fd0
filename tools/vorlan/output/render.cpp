#include "render.h"

#include <png.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "raster_text.h"
#include "vorlan_sdk_impl/point_geometry.hpp"

namespace vorlan_tool {
namespace {

constexpr int kPanelWidth = 600;
constexpr int kPanelHeight = 600;
constexpr int kTitleHeight = 24;
constexpr int kPanelTop = kTitleHeight;
constexpr int kLegendTop = kPanelTop + kPanelHeight;
constexpr uint8_t kBackground = 24;
constexpr uint8_t kGrid[3] = {52, 52, 52};
constexpr uint8_t kText[3] = {220, 220, 220};
constexpr uint8_t kDivider[3] = {90, 90, 90};
constexpr uint8_t kSensorMark[3] = {255, 255, 255};

bool is_drawn(const VorlanSensorImagePoint& point) {
    return (point.flags & VORLAN_POINT_VALID) != 0 && point.distance > 0.0f && std::isfinite(point.image_x) &&
           std::isfinite(point.image_z) && std::isfinite(point.distance);
}

// Blue, cyan, green, yellow, red as t goes from 0 to 1.
void colour_map(double t, uint8_t (&rgb)[3]) {
    t = std::clamp(t, 0.0, 1.0);
    const double stops[5][3] = {{40, 60, 220}, {0, 200, 230}, {40, 210, 70}, {240, 220, 40}, {230, 50, 40}};
    const double position = t * 4.0;
    const int lower = std::min(3, static_cast<int>(position));
    const double f = position - lower;
    for (int c = 0; c < 3; ++c) {
        rgb[c] = static_cast<uint8_t>(stops[lower][c] + (stops[lower + 1][c] - stops[lower][c]) * f);
    }
}

struct Range {
    double low;
    double high;
    double normalise(double v) const { return high > low ? (v - low) / (high - low) : 0.5; }
};

void draw_dot(RgbImage& image, int x, int y, int x_min, int x_max, const uint8_t (&rgb)[3]) {
    for (int dy = 0; dy < 2; ++dy) {
        for (int dx = 0; dx < 2; ++dx) {
            if (x + dx >= x_min && x + dx < x_max && y + dy >= kPanelTop && y + dy < kLegendTop) {
                image.set(x + dx, y + dy, rgb);
            }
        }
    }
}

// A round step for grid lines: about five to ten lines across `span`.
double grid_step(double span) {
    for (double step : {1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0, 200.0, 500.0}) {
        if (span / step <= 10.0) {
            return step;
        }
    }
    return 1000.0;
}

std::string number_text(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g", value);
    return text;
}

// The top view: forward up the panel from the sensor at the bottom centre,
// to the right to the right; metres to pixels alike on both axes.
struct TopView {
    double reach;
    double scale;  // pixels per metre
    int x_of(double metres_right) const { return static_cast<int>(std::lround(kPanelWidth / 2 + metres_right * scale)); }
    int y_of(double metres_ahead) const {
        return static_cast<int>(std::lround(kLegendTop - 1 - metres_ahead * scale));
    }
};

void draw_top_view_frame(RgbImage& image, const TopView& view) {
    const double step = grid_step(view.reach);
    for (double d = step; d <= view.reach; d += step) {
        const int y = view.y_of(d);
        for (int x = 0; x < kPanelWidth; ++x) {
            image.set(x, y, kGrid);
        }
        draw_text(image, 4, y + 3, number_text(d) + " m", 1, kText);
    }
    for (double d = step; d <= view.reach / 2; d += step) {
        for (const int x : {view.x_of(d), view.x_of(-d)}) {
            for (int y = kPanelTop; y < kLegendTop; ++y) {
                image.set(x, y, kGrid);
            }
        }
    }
    const int centre = view.x_of(0.0);
    for (int y = kPanelTop; y < kLegendTop; ++y) {
        image.set(centre, y, kGrid);
    }
    // The scale bar, bottom left: one grid step.
    const int bar_y = kLegendTop - 14;
    const int bar_end = 12 + static_cast<int>(std::lround(step * view.scale));
    for (int x = 12; x <= bar_end; ++x) {
        image.set(x, bar_y, kText);
        image.set(x, bar_y + 1, kText);
    }
    for (int y = bar_y - 4; y <= bar_y + 5; ++y) {
        image.set(12, y, kText);
        image.set(bar_end, y, kText);
    }
    draw_text(image, bar_end + 6, bar_y - 3, number_text(step) + " m", 1, kText);
}

// A triangle pointing ahead, its tip at the sensor.
void draw_sensor_mark(RgbImage& image, const TopView& view) {
    const int x0 = view.x_of(0.0);
    const int y0 = view.y_of(0.0);
    for (int row = 0; row < 10; ++row) {
        for (int dx = -row / 2; dx <= row / 2; ++dx) {
            image.set(x0 + dx, y0 - 9 + row, kSensorMark);
        }
    }
}

void draw_legend(RgbImage& image, int left, const std::string& label, const Range& range, const char* unit) {
    const int bar_left = left + text_width(label, 2) + 14;
    const int bar_width = 300;
    const int y = kLegendTop + 8;
    draw_text(image, left, y, label, 2, kText);
    for (int x = 0; x < bar_width; ++x) {
        uint8_t rgb[3];
        colour_map(static_cast<double>(x) / (bar_width - 1), rgb);
        for (int dy = 0; dy < 12; ++dy) {
            image.set(bar_left + x, y + dy, rgb);
        }
    }
    draw_text(image, bar_left, y + 17, number_text(range.low), 1, kText);
    const std::string high = number_text(range.high) + " " + unit;
    draw_text(image, bar_left + bar_width - text_width(high, 1), y + 17, high, 1, kText);
}

const char* colour_label(ColourBy colour_by) {
    switch (colour_by) {
        case ColourBy::height: return "height";
        case ColourBy::intensity: return "intensity";
        case ColourBy::distance: return "distance";
    }
    return "";
}

}  // namespace

bool parse_colour_by(const std::string& text, ColourBy& colour_by) {
    for (ColourBy candidate : {ColourBy::height, ColourBy::intensity, ColourBy::distance}) {
        if (text == colour_label(candidate)) {
            colour_by = candidate;
            return true;
        }
    }
    return false;
}

bool is_png_name(const std::string& path) {
    const std::string extension = std::filesystem::path(path).extension().string();
    return extension.size() == 4 && std::tolower(static_cast<unsigned char>(extension[1])) == 'p' &&
           std::tolower(static_cast<unsigned char>(extension[2])) == 'n' &&
           std::tolower(static_cast<unsigned char>(extension[3])) == 'g';
}

void RgbImage::set(int x, int y, const uint8_t (&rgb)[3]) {
    if (x < 0 || y < 0 || x >= width || y >= height) {
        return;
    }
    std::memcpy(&pixels[(static_cast<std::size_t>(y) * width + x) * 3], rgb, 3);
}

RgbImage render_frame(const VorlanSensorImagePoint* points, std::size_t n_points, const RenderOptions& options) {
    RgbImage image(kRenderWidth, kRenderHeight, kBackground);
    draw_text(image, 8, 5, options.title, 2, kText);
    for (int y = kPanelTop; y < kLegendTop; ++y) {
        image.set(kPanelWidth, y, kDivider);
    }
    for (int x = 0; x < kRenderWidth; ++x) {
        image.set(x, kPanelTop - 1, kDivider);
        image.set(x, kLegendTop, kDivider);
    }

    const double reach = std::isfinite(options.reach) && options.reach > 0.0 ? options.reach : 50.0;
    const TopView view{reach, (kPanelHeight - 1) / reach};
    draw_top_view_frame(image, view);

    const Range height{options.height_low, options.height_high};
    const Range intensity{0.0, options.intensity_high};
    const Range distance{0.0, reach};
    const Range& top_colours = options.colour_by == ColourBy::height      ? height
                               : options.colour_by == ColourBy::intensity ? intensity
                                                                          : distance;
    const Range u{options.image_x_low, options.image_x_high};
    const Range w{options.image_z_low, options.image_z_high};
    for (std::size_t i = 0; i < n_points; ++i) {
        if (!is_drawn(points[i])) {
            continue;
        }
        const vorlan_sdk::MetricPoint p = vorlan_sdk::image_point_to_metres(points[i]);
        const double value = options.colour_by == ColourBy::height      ? p.z
                             : options.colour_by == ColourBy::intensity ? points[i].intensity
                                                                        : points[i].distance;
        uint8_t rgb[3];
        colour_map(top_colours.normalise(value), rgb);
        draw_dot(image, view.x_of(p.x), view.y_of(p.y), 0, kPanelWidth, rgb);

        // Range image: image coordinates as seen from the sensor (x to the
        // right is -image_x, up is -image_z), coloured by distance.
        colour_map(distance.normalise(points[i].distance), rgb);
        const int x = kPanelWidth + 1 + static_cast<int>((1.0 - u.normalise(points[i].image_x)) * (kPanelWidth - 4));
        const int y = kPanelTop + static_cast<int>(w.normalise(points[i].image_z) * (kPanelHeight - 3));
        draw_dot(image, x, y, kPanelWidth + 1, 2 * kPanelWidth, rgb);
    }
    draw_sensor_mark(image, view);

    const char* top_unit = options.colour_by == ColourBy::intensity ? "" : "m";
    draw_legend(image, 10, std::string("top view: ") + colour_label(options.colour_by), top_colours, top_unit);
    draw_legend(image, kPanelWidth + 10, "range image: distance", distance, "m");
    return image;
}

bool write_png(const std::string& path, const RgbImage& image, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr || setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        error = path + ": cannot write the picture";
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < image.height; ++y) {
        png_write_row(png, &image.pixels[static_cast<std::size_t>(y) * image.width * 3]);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(file) != 0) {
        error = path + ": write failed";
        return false;
    }
    return true;
}

}  // namespace vorlan_tool
