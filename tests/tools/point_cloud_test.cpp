#include "point_cloud.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "byte_order.h"

namespace vorlan_tool {
namespace {

VorlanSensorImagePoint image_point(float image_x, float image_z, float distance, int64_t timestamp) {
    VorlanSensorImagePoint point{};
    point.image_x = image_x;
    point.image_z = image_z;
    point.distance = distance;
    point.intensity = 0.5f;
    point.flags = VORLAN_POINT_VALID;
    point.timestamp = timestamp;
    return point;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class PointCloudTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = std::filesystem::temp_directory_path() /
                ("vorlan_cloud_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::filesystem::path m_dir;
    // Straight ahead at 10 m; 45 degrees to the left at sqrt(2) m; a point without a return.
    const VorlanSensorImagePoint m_points[3] = {image_point(0.0f, 0.0f, 10.0f, 1000),
                                                image_point(1.0f, 0.0f, 1.41421356f, 2000),
                                                image_point(0.3f, 0.1f, 0.0f, 3000)};
};

TEST_F(PointCloudTest, CsvHoldsMetricPositionsOfPointsWithAReturn) {
    const auto path = m_dir / "frame.csv";
    std::string error;
    ASSERT_TRUE(write_point_cloud(path.string(), CloudFormat::csv, m_points, 3, error)) << error;
    EXPECT_EQ(
        "x,y,z,intensity,flags,timestamp_us\n"
        "-0.0000,10.0000,-0.0000,0.5,1,1000\n"
        "-1.0000,1.0000,-0.0000,0.5,1,2000\n",
        read_file(path));
}

TEST_F(PointCloudTest, PlyHeaderCountsVerticesAndRecordsFollow) {
    const auto path = m_dir / "frame.ply";
    std::string error;
    ASSERT_TRUE(write_point_cloud(path.string(), CloudFormat::ply, m_points, 3, error)) << error;
    const std::string bytes = read_file(path);
    const std::size_t end = bytes.find("end_header\n");
    ASSERT_NE(std::string::npos, end);
    EXPECT_NE(std::string::npos, bytes.find("element vertex 2\n"));
    const std::size_t body = end + std::strlen("end_header\n");
    ASSERT_EQ(body + 2 * 25, bytes.size());
    const auto* record = reinterpret_cast<const uint8_t*>(bytes.data() + body + 25);
    EXPECT_NEAR(-1.0f, vorlan_sdk::util::load_f32le(record), 1e-5);
    EXPECT_NEAR(1.0f, vorlan_sdk::util::load_f32le(record + 4), 1e-5);
    EXPECT_EQ(VORLAN_POINT_VALID, record[16]);
}

TEST_F(PointCloudTest, UnwritablePathIsReported) {
    std::string error;
    EXPECT_FALSE(write_point_cloud((m_dir / "missing" / "f.csv").string(), CloudFormat::csv, m_points, 3, error));
    EXPECT_NE(std::string::npos, error.find("missing"));
}

TEST(CloudFormat, ParsingAndFileNames) {
    CloudFormat format = CloudFormat::csv;
    EXPECT_TRUE(parse_cloud_format("ply", format));
    EXPECT_EQ(CloudFormat::ply, format);
    EXPECT_FALSE(parse_cloud_format("PLY", format));
    EXPECT_EQ("17f000001_000012.ply", cloud_file_name(0x17F000001ULL, 12, CloudFormat::ply));
}

}  // namespace
}  // namespace vorlan_tool
