#include "render.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "vorlan_sdk_impl/point_geometry.hpp"

namespace vorlan_tool {
namespace {

constexpr int kPanelWidth = 600;
constexpr int kHeight = 600;
constexpr uint8_t kBackground = 24;

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

// The value below which `fraction` of `values` lie (values are reordered).
double quantile(std::vector<double>& values, double fraction) {
    if (values.empty()) {
        return 0.0;
    }
    const std::size_t k = std::min(values.size() - 1, static_cast<std::size_t>(fraction * (values.size() - 1)));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
    return values[k];
}

struct Range {
    double low;
    double high;
    double normalise(double v) const { return high > low ? (v - low) / (high - low) : 0.5; }
};

// The range that holds all but the outer 1% on either side.
Range robust_range(std::vector<double> values) {
    return Range{quantile(values, 0.01), quantile(values, 0.99)};
}

void draw_dot(RgbImage& image, int x, int y, int x_min, int x_max, const uint8_t (&rgb)[3]) {
    for (int dy = 0; dy < 2; ++dy) {
        for (int dx = 0; dx < 2; ++dx) {
            if (x + dx >= x_min && x + dx < x_max) {
                image.set(x + dx, y + dy, rgb);
            }
        }
    }
}

}  // namespace

void RgbImage::set(int x, int y, const uint8_t (&rgb)[3]) {
    if (x < 0 || y < 0 || x >= width || y >= height) {
        return;
    }
    std::memcpy(&pixels[(static_cast<std::size_t>(y) * width + x) * 3], rgb, 3);
}

RgbImage render_frame(const VorlanSensorImagePoint* points, std::size_t n_points) {
    RgbImage image(2 * kPanelWidth, kHeight, kBackground);
    const uint8_t divider[3] = {90, 90, 90};
    for (int y = 0; y < kHeight; ++y) {
        image.set(kPanelWidth, y, divider);
    }

    std::vector<vorlan_sdk::MetricPoint> metric;
    std::vector<double> forward, heights, us, ws, distances;
    for (std::size_t i = 0; i < n_points; ++i) {
        if (!is_drawn(points[i])) {
            continue;
        }
        metric.push_back(vorlan_sdk::image_point_to_metres(points[i]));
        forward.push_back(metric.back().y);
        heights.push_back(metric.back().z);
        us.push_back(points[i].image_x);
        ws.push_back(points[i].image_z);
        distances.push_back(points[i].distance);
    }
    if (metric.empty()) {
        return image;
    }

    // Top view: the sensor at the bottom centre, metres to pixels alike on both axes.
    const double reach = std::max(1.0, robust_range(forward).high * 1.05);
    const Range height = robust_range(heights);
    const double scale = (kHeight - 1) / reach;
    for (const vorlan_sdk::MetricPoint& p : metric) {
        uint8_t rgb[3];
        colour_map(height.normalise(p.z), rgb);
        const int x = static_cast<int>(kPanelWidth / 2 + p.x * scale);
        const int y = static_cast<int>(kHeight - 1 - p.y * scale);
        draw_dot(image, x, y, 0, kPanelWidth, rgb);
    }

    // Range image: image coordinates as seen from the sensor (x to the
    // right is -image_x, up is -image_z), coloured by distance.
    const Range u = robust_range(us);
    const Range w = robust_range(ws);
    const Range distance = robust_range(distances);
    for (std::size_t i = 0; i < metric.size(); ++i) {
        uint8_t rgb[3];
        colour_map(distance.normalise(distances[i]), rgb);
        const int x = kPanelWidth + 1 + static_cast<int>((1.0 - u.normalise(us[i])) * (kPanelWidth - 4));
        const int y = static_cast<int>(w.normalise(ws[i]) * (kHeight - 3));
        draw_dot(image, x, y, kPanelWidth + 1, 2 * kPanelWidth, rgb);
    }
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
