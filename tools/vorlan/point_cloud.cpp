#include "point_cloud.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "byte_order.h"
#include "vorlan_sdk_impl/point_geometry.hpp"

namespace vorlan_tool {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool has_return(const VorlanSensorImagePoint& point) { return point.distance > 0.0f; }

std::size_t count_returns(const VorlanSensorImagePoint* points, std::size_t n_points) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n_points; ++i) {
        count += has_return(points[i]) ? 1 : 0;
    }
    return count;
}

// x, y, z, intensity as float, flags as uchar, timestamp as double: 25 bytes.
constexpr std::size_t kPlyRecordSize = 4 * 4 + 1 + 8;

void write_ply(std::FILE* file, const VorlanSensorImagePoint* points, std::size_t n_points) {
    std::fprintf(file,
                 "ply\nformat binary_little_endian 1.0\n"
                 "comment positions in metres, timestamp in microseconds\n"
                 "element vertex %zu\n"
                 "property float x\nproperty float y\nproperty float z\n"
                 "property float intensity\nproperty uchar flags\nproperty double timestamp\n"
                 "end_header\n",
                 count_returns(points, n_points));
    uint8_t record[kPlyRecordSize];
    for (std::size_t i = 0; i < n_points; ++i) {
        if (!has_return(points[i])) {
            continue;
        }
        const vorlan_sdk::MetricPoint p = vorlan_sdk::image_point_to_metres(points[i]);
        vorlan_sdk::util::store_f32le(record + 0, static_cast<float>(p.x));
        vorlan_sdk::util::store_f32le(record + 4, static_cast<float>(p.y));
        vorlan_sdk::util::store_f32le(record + 8, static_cast<float>(p.z));
        vorlan_sdk::util::store_f32le(record + 12, points[i].intensity);
        record[16] = points[i].flags;
        const double timestamp = static_cast<double>(points[i].timestamp);
        uint64_t bits;
        std::memcpy(&bits, &timestamp, sizeof(bits));
        vorlan_sdk::util::store_u64le(record + 17, bits);
        std::fwrite(record, 1, sizeof(record), file);
    }
}

void write_csv(std::FILE* file, const VorlanSensorImagePoint* points, std::size_t n_points) {
    std::fputs("x,y,z,intensity,flags,timestamp_us\n", file);
    for (std::size_t i = 0; i < n_points; ++i) {
        if (!has_return(points[i])) {
            continue;
        }
        const vorlan_sdk::MetricPoint p = vorlan_sdk::image_point_to_metres(points[i]);
        std::fprintf(file, "%.4f,%.4f,%.4f,%.4g,%u,%" PRId64 "\n", p.x, p.y, p.z,
                     static_cast<double>(points[i].intensity), static_cast<unsigned>(points[i].flags),
                     points[i].timestamp);
    }
}

}  // namespace

bool parse_cloud_format(const std::string& text, CloudFormat& format) {
    if (text == "ply") {
        format = CloudFormat::ply;
        return true;
    }
    if (text == "csv") {
        format = CloudFormat::csv;
        return true;
    }
    return false;
}

std::string cloud_file_name(VorlanSensorHandle sensor, std::size_t index, CloudFormat format) {
    char name[64];
    std::snprintf(name, sizeof(name), "%09" PRIx64 "_%06zu.%s", static_cast<uint64_t>(sensor), index,
                  format == CloudFormat::ply ? "ply" : "csv");
    return name;
}

bool write_point_cloud(const std::string& path, CloudFormat format, const VorlanSensorImagePoint* points,
                       std::size_t n_points, std::string& error) {
    File file(std::fopen(path.c_str(), format == CloudFormat::ply ? "wb" : "w"));
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (format == CloudFormat::ply) {
        write_ply(file.get(), points, n_points);
    } else {
        write_csv(file.get(), points, n_points);
    }
    if (std::ferror(file.get()) != 0 || std::fclose(file.release()) != 0) {
        error = path + ": write failed";
        return false;
    }
    return true;
}

namespace {

std::size_t count_returns(const CloudPoint* points, std::size_t n_points) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n_points; ++i) {
        count += points[i].has_return ? 1 : 0;
    }
    return count;
}

void write_ply(std::FILE* file, const CloudPoint* points, std::size_t n_points) {
    std::fprintf(file,
                 "ply\nformat binary_little_endian 1.0\n"
                 "comment positions in metres, intensity is reflectivity in percent, timestamp in microseconds\n"
                 "element vertex %zu\n"
                 "property float x\nproperty float y\nproperty float z\n"
                 "property float intensity\nproperty uchar flags\nproperty double timestamp\n"
                 "end_header\n",
                 count_returns(points, n_points));
    uint8_t record[kPlyRecordSize];
    for (std::size_t i = 0; i < n_points; ++i) {
        const CloudPoint& p = points[i];
        if (!p.has_return) {
            continue;
        }
        vorlan_sdk::util::store_f32le(record + 0, static_cast<float>(p.x));
        vorlan_sdk::util::store_f32le(record + 4, static_cast<float>(p.y));
        vorlan_sdk::util::store_f32le(record + 8, static_cast<float>(p.z));
        vorlan_sdk::util::store_f32le(record + 12, p.intensity);
        record[16] = p.flags;
        const double timestamp = static_cast<double>(p.timestamp);
        uint64_t bits;
        std::memcpy(&bits, &timestamp, sizeof(bits));
        vorlan_sdk::util::store_u64le(record + 17, bits);
        std::fwrite(record, 1, sizeof(record), file);
    }
}

void write_csv(std::FILE* file, const CloudPoint* points, std::size_t n_points) {
    std::fputs("x,y,z,intensity,flags,timestamp_us\n", file);
    for (std::size_t i = 0; i < n_points; ++i) {
        const CloudPoint& p = points[i];
        if (p.has_return) {
            std::fprintf(file, "%.4f,%.4f,%.4f,%.4g,%u,%" PRId64 "\n", p.x, p.y, p.z, static_cast<double>(p.intensity),
                         static_cast<unsigned>(p.flags), p.timestamp);
        }
    }
}

}  // namespace

bool write_point_cloud(const std::string& path, CloudFormat format, const CloudPoint* points, std::size_t n_points,
                       std::string& error) {
    File file(std::fopen(path.c_str(), format == CloudFormat::ply ? "wb" : "w"));
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (format == CloudFormat::ply) {
        write_ply(file.get(), points, n_points);
    } else {
        write_csv(file.get(), points, n_points);
    }
    if (std::ferror(file.get()) != 0 || std::fclose(file.release()) != 0) {
        error = path + ": write failed";
        return false;
    }
    return true;
}

}  // namespace vorlan_tool
