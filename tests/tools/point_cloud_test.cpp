#include "point_cloud.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "wire_bytes.h"

namespace vorlan_tool {
namespace {

VorlanSensorImagePoint image_point(float image_x, float image_z, float distance, int64_t timestamp) {
    VorlanSensorImagePoint point{};
    point.image_x = image_x;
    point.image_z = image_z;
    point.distance = distance;
    point.intensity = 0.5f;
    point.flags = VORLAN_POINT_VALID;
    point.return_type = VORLAN_RETURN_FIRST;
    point.segment_id = 7;
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

// What a reader of each format finds: a header that states the columns and
// the number of points, then one record per point with a return.
TEST_F(PointCloudTest, EveryFormatHoldsMetricPositionsOfPointsWithAReturn) {
    const struct {
        CloudFormat format;
        const char* file;
        const char* header_end;
        std::vector<std::string> header_lines;
        std::size_t binary_record;  // 0: text records
    } cases[] = {
        {CloudFormat::ply, "frame.ply", "end_header\n",
         {"ply", "format binary_little_endian 1.0", "element vertex 2", "property float x", "property float distance",
          "property uchar segment", "property uchar return", "property double time"},
         31},
        {CloudFormat::pcd, "frame.pcd", "DATA binary\n",
         {"VERSION 0.7", "FIELDS x y z distance intensity segment return flags time", "SIZE 4 4 4 4 4 1 1 1 8",
          "TYPE F F F F F U U U F", "COUNT 1 1 1 1 1 1 1 1 1", "WIDTH 2", "HEIGHT 1", "POINTS 2"},
         31},
        {CloudFormat::pcd_ascii, "frame.pcd", "DATA ascii\n",
         {"FIELDS x y z distance intensity segment return flags time", "POINTS 2"}, 0},
        {CloudFormat::csv, "frame.csv", "time_us\n", {"x,y,z,distance,intensity,segment,return,flags,time_us"}, 0},
    };
    for (const auto& c : cases) {
        const auto path = m_dir / c.file;
        std::string error;
        ASSERT_TRUE(write_point_cloud(path.string(), c.format, m_points, 3, error)) << error;
        const std::string bytes = read_file(path);
        const std::size_t end = bytes.find(c.header_end);
        ASSERT_NE(std::string::npos, end) << c.file;
        const std::string header = bytes.substr(0, end + std::strlen(c.header_end));
        for (const std::string& line : c.header_lines) {
            EXPECT_NE(std::string::npos, header.find(line + "\n")) << c.file << ": " << line;
        }
        const std::string body = bytes.substr(header.size());
        if (c.binary_record != 0) {
            ASSERT_EQ(2 * c.binary_record, body.size()) << c.file;
            const auto* record = reinterpret_cast<const uint8_t*>(body.data() + c.binary_record);
            EXPECT_NEAR(-1.0f, vorlan_common::load_f32le(record), 1e-5);
            EXPECT_NEAR(1.0f, vorlan_common::load_f32le(record + 4), 1e-5);
            EXPECT_NEAR(1.41421356f, vorlan_common::load_f32le(record + 12), 1e-6);
            EXPECT_EQ(7, record[20]);  // segment
            EXPECT_EQ(VORLAN_RETURN_FIRST, record[21]);
            EXPECT_EQ(VORLAN_POINT_VALID, record[22]);
            double time = 0.0;
            const uint64_t bits = vorlan_common::load_u64le(record + 23);
            std::memcpy(&time, &bits, sizeof(time));
            EXPECT_EQ(2000.0, time);
        } else {
            const char separator = c.format == CloudFormat::csv ? ',' : ' ';
            std::string expected = "-1.0000,1.0000,-0.0000,1.4142,0.5,7,1,1,2000";
            std::replace(expected.begin(), expected.end(), ',', separator);
            EXPECT_NE(std::string::npos, body.find("\n" + expected + "\n")) << body;
            EXPECT_EQ(2, std::count(body.begin(), body.end(), '\n')) << body;
        }
    }
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
    EXPECT_TRUE(parse_cloud_format("pcd-ascii", format));
    EXPECT_EQ(CloudFormat::pcd_ascii, format);
    EXPECT_EQ("192.168.1.201_900001_000012.ply", cloud_file_name("192.168.1.201_900001", 12, CloudFormat::ply));
    EXPECT_EQ("s_000000.pcd", cloud_file_name("s", 0, CloudFormat::pcd_ascii));
}

}  // namespace
}  // namespace vorlan_tool
