#include "render.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <filesystem>

namespace vorlan_tool {
namespace {

bool is_background(const RgbImage& image, int x, int y) {
    const uint8_t* p = &image.pixels[(static_cast<std::size_t>(y) * image.width + x) * 3];
    return p[0] == p[1] && p[1] == p[2];
}

TEST(Render, PointsLandInBothPanels) {
    std::vector<VorlanSensorImagePoint> points;
    for (int i = 0; i < 200; ++i) {
        VorlanSensorImagePoint point{};
        point.image_x = -0.5f + i * 0.005f;
        point.image_z = 0.1f * (i % 3);
        point.distance = 5.0f + (i % 7);
        point.flags = VORLAN_POINT_VALID;
        points.push_back(point);
    }
    VorlanSensorImagePoint invalid{};
    invalid.distance = 1000.0f;
    points.push_back(invalid);

    const RgbImage image = render_frame(points.data(), points.size());
    ASSERT_EQ(1200, image.width);
    ASSERT_EQ(600, image.height);
    int top_view = 0;
    int range_image = 0;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            if (!is_background(image, x, y)) {
                (x < 600 ? top_view : range_image) += 1;
            }
        }
    }
    EXPECT_GT(top_view, 100);
    EXPECT_GT(range_image, 100);
}

TEST(Render, EmptyFrameAndNonFiniteValuesAreHarmless) {
    VorlanSensorImagePoint odd{};
    odd.flags = VORLAN_POINT_VALID;
    odd.distance = 3.0f;
    odd.image_x = std::numeric_limits<float>::infinity();
    const RgbImage empty = render_frame(nullptr, 0);
    const RgbImage with_odd = render_frame(&odd, 1);
    EXPECT_EQ(empty.pixels, with_odd.pixels);
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
