#include "render.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>
#include <filesystem>

#include "support/image_point.h"

namespace vorlan_tool {
namespace {

VorlanSensorImagePoint valid_point(float image_x, float image_z, float distance, float intensity = 10.0f) {
    return vorlan_test::image_point(image_x, image_z, distance, VORLAN_POINT_VALID, 0, intensity);
}

// Pixels that differ between two pictures, per panel (top view, range image).
std::pair<int, int> changed_pixels(const RgbImage& a, const RgbImage& b) {
    int top_view = 0;
    int range_image = 0;
    for (int y = 24; y < 624; ++y) {
        for (int x = 0; x < a.width; ++x) {
            const std::size_t at = (static_cast<std::size_t>(y) * a.width + x) * 3;
            if (std::memcmp(&a.pixels[at], &b.pixels[at], 3) != 0) {
                (x < 600 ? top_view : range_image) += 1;
            }
        }
    }
    return {top_view, range_image};
}

TEST(Render, PointsLandInBothPanels) {
    std::vector<VorlanSensorImagePoint> points;
    for (int i = 0; i < 200; ++i) {
        points.push_back(valid_point(-0.5f + i * 0.005f, 0.1f * (i % 3), 5.0f + (i % 7)));
    }
    VorlanSensorImagePoint invalid{};
    invalid.distance = 1000.0f;
    points.push_back(invalid);

    const RgbImage empty = render_frame(nullptr, 0);
    const RgbImage image = render_frame(points.data(), points.size());
    ASSERT_EQ(kRenderWidth, image.width);
    ASSERT_EQ(kRenderHeight, image.height);
    const std::pair<int, int> drawn = changed_pixels(empty, image);
    EXPECT_GT(drawn.first, 100);
    EXPECT_GT(drawn.second, 100);
}

// The scales come from the options, never from the frame: a point lands on
// the same pixels whatever else the frame holds, so frames of one sensor
// compare directly; the colouring chosen changes the top view only.
TEST(Render, ScalesAreFixedAndColourChoiceChangesOnlyTheTopView) {
    const VorlanSensorImagePoint near = valid_point(0.1f, 0.05f, 5.0f);
    const VorlanSensorImagePoint far = valid_point(-0.3f, -0.2f, 40.0f, 90.0f);
    const VorlanSensorImagePoint both[2] = {near, far};
    const RgbImage empty = render_frame(nullptr, 0);
    const RgbImage near_only = render_frame(&near, 1);
    const RgbImage far_only = render_frame(&far, 1);
    const RgbImage together = render_frame(both, 2);
    // Every pixel of the pair is a pixel of one of the two alone.
    for (std::size_t i = 0; i < together.pixels.size(); i += 3) {
        const bool from_near = std::memcmp(&together.pixels[i], &near_only.pixels[i], 3) == 0;
        const bool from_far = std::memcmp(&together.pixels[i], &far_only.pixels[i], 3) == 0;
        ASSERT_TRUE(from_near || from_far) << "pixel " << i / 3;
    }
    EXPECT_EQ(std::make_pair(4, 4), changed_pixels(empty, near_only));

    for (const ColourBy colour_by : {ColourBy::intensity, ColourBy::distance}) {
        RenderOptions options;
        options.colour_by = colour_by;
        const RgbImage recoloured = render_frame(both, 2, options);
        const std::pair<int, int> changed = changed_pixels(together, recoloured);
        EXPECT_GT(changed.first, 0);
        EXPECT_EQ(0, changed.second);
    }
    RenderOptions wider;
    wider.reach = 100.0;
    EXPECT_GT(changed_pixels(together, render_frame(both, 2, wider)).first, 0);
}

TEST(Render, EmptyFrameAndNonFiniteValuesAreHarmless) {
    VorlanSensorImagePoint odd = valid_point(0.0f, 0.0f, 3.0f);
    odd.image_x = std::numeric_limits<float>::infinity();
    const RgbImage empty = render_frame(nullptr, 0);
    const RgbImage with_odd = render_frame(&odd, 1);
    EXPECT_EQ(empty.pixels, with_odd.pixels);
    RenderOptions broken;
    broken.reach = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(empty.pixels, render_frame(nullptr, 0, broken).pixels);
}

TEST(Render, OnlyPngNamesArePictures) {
    for (const char* name : {"a.png", "dir/x.PNG", "x.Png"}) {
        EXPECT_TRUE(is_png_name(name)) << name;
    }
    for (const char* name : {"a.jpg", "png", "a.png.txt", "a.pn", "a."}) {
        EXPECT_FALSE(is_png_name(name)) << name;
    }
}

TEST(Render, WritesAPngThatReadsBack) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("vorlan_render_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".png");
    RgbImage image(4, 3, 10);
    const uint8_t red[3] = {255, 0, 0};
    image.set(1, 2, red);
    std::string error;
    ASSERT_TRUE(write_png(path.string(), image, error)) << error;

    png_image read{};
    read.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&read, path.string().c_str()));
    read.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(read));
    ASSERT_TRUE(png_image_finish_read(&read, nullptr, pixels.data(), 0, nullptr));
    EXPECT_EQ(4u, read.width);
    EXPECT_EQ(image.pixels, pixels);
    std::filesystem::remove(path);

    EXPECT_FALSE(write_png("/nonexistent-folder/x.png", image, error));
}

}  // namespace
}  // namespace vorlan_tool
