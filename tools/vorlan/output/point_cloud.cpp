#include "point_cloud.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "vorlan_sdk_impl/point_geometry.hpp"
#include "wire_bytes.h"

namespace vorlan_tool {
namespace {

using vorlan_common::store_f32le;
using vorlan_common::store_u64le;

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

// One binary record, the same for PLY and PCD: x, y, z, distance and
// intensity as float, segment, return bits and flags as bytes, the time in
// microseconds as a double (exact for any date of this era): 31 bytes.
constexpr std::size_t kRecordSize = 5 * 4 + 3 + 8;

void fill_record(const VorlanSensorImagePoint& point, uint8_t (&record)[kRecordSize]) {
    const vorlan_sdk::MetricPoint p = vorlan_sdk::image_point_to_metres(point);
    store_f32le(record + 0, static_cast<float>(p.x));
    store_f32le(record + 4, static_cast<float>(p.y));
    store_f32le(record + 8, static_cast<float>(p.z));
    store_f32le(record + 12, point.distance);
    store_f32le(record + 16, point.intensity);
    record[20] = point.segment_id;
    record[21] = point.return_type;
    record[22] = point.flags;
    const double time = static_cast<double>(point.timestamp);
    uint64_t bits;
    std::memcpy(&bits, &time, sizeof(bits));
    store_u64le(record + 23, bits);
}

void write_records(std::FILE* file, const VorlanSensorImagePoint* points, std::size_t n_points) {
    uint8_t record[kRecordSize];
    for (std::size_t i = 0; i < n_points; ++i) {
        if (has_return(points[i])) {
            fill_record(points[i], record);
            std::fwrite(record, 1, sizeof(record), file);
        }
    }
}

void write_ply(std::FILE* file, const VorlanSensorImagePoint* points, std::size_t n_points) {
    std::fprintf(file,
                 "ply\nformat binary_little_endian 1.0\n"
                 "comment x y z distance in metres, return: 1 first 2 farthest, flags: 1 valid 2 saturated "
                 "128 frame flag, time in microseconds\n"
                 "element vertex %zu\n"
                 "property float x\nproperty float y\nproperty float z\nproperty float distance\n"
                 "property float intensity\nproperty uchar segment\nproperty uchar return\nproperty uchar flags\n"
                 "property double time\n"
                 "end_header\n",
                 count_returns(points, n_points));
    write_records(file, points, n_points);
}

void write_pcd(std::FILE* file, const VorlanSensorImagePoint* points, std::size_t n_points, bool binary) {
    const std::size_t n = count_returns(points, n_points);
    std::fprintf(file,
                 "# .PCD v0.7 - x y z distance in metres, time in microseconds\n"
                 "VERSION 0.7\n"
                 "FIELDS x y z distance intensity segment return flags time\n"
                 "SIZE 4 4 4 4 4 1 1 1 8\n"
                 "TYPE F F F F F U U U F\n"
                 "COUNT 1 1 1 1 1 1 1 1 1\n"
                 "WIDTH %zu\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS %zu\nDATA %s\n",
                 n, n, binary ? "binary" : "ascii");
    if (binary) {
        write_records(file, points, n_points);
        return;
    }
    for (std::size_t i = 0; i < n_points; ++i) {
        if (!has_return(points[i])) {
            continue;
        }
        const vorlan_sdk::MetricPoint p = vorlan_sdk::image_point_to_metres(points[i]);
        std::fprintf(file, "%.4f %.4f %.4f %.4f %.4g %u %u %u %" PRId64 "\n", p.x, p.y, p.z,
                     static_cast<double>(points[i].distance), static_cast<double>(points[i].intensity),
                     static_cast<unsigned>(points[i].segment_id), static_cast<unsigned>(points[i].return_type),
                     static_cast<unsigned>(points[i].flags), points[i].timestamp);
    }
}

void write_csv(std::FILE* file, const VorlanSensorImagePoint* points, std::size_t n_points) {
    std::fputs("x,y,z,distance,intensity,segment,return,flags,time_us\n", file);
    for (std::size_t i = 0; i < n_points; ++i) {
        if (!has_return(points[i])) {
            continue;
        }
        const vorlan_sdk::MetricPoint p = vorlan_sdk::image_point_to_metres(points[i]);
        std::fprintf(file, "%.4f,%.4f,%.4f,%.4f,%.4g,%u,%u,%u,%" PRId64 "\n", p.x, p.y, p.z,
                     static_cast<double>(points[i].distance), static_cast<double>(points[i].intensity),
                     static_cast<unsigned>(points[i].segment_id), static_cast<unsigned>(points[i].return_type),
                     static_cast<unsigned>(points[i].flags), points[i].timestamp);
    }
}

struct FormatName {
    const char* name;
    CloudFormat format;
    const char* extension;
    const char* label;
};
constexpr FormatName kFormats[] = {
    {"ply", CloudFormat::ply, "ply", "PLY"},
    {"csv", CloudFormat::csv, "csv", "CSV"},
    {"pcd", CloudFormat::pcd, "pcd", "PCD"},
    {"pcd-ascii", CloudFormat::pcd_ascii, "pcd", "PCD (ASCII)"},
};

const FormatName& entry_of(CloudFormat format) {
    for (const FormatName& entry : kFormats) {
        if (entry.format == format) {
            return entry;
        }
    }
    return kFormats[0];
}

}  // namespace

const std::vector<std::string>& cloud_format_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list;
        for (const FormatName& entry : kFormats) {
            list.push_back(entry.name);
        }
        return list;
    }();
    return names;
}

bool parse_cloud_format(const std::string& text, CloudFormat& format) {
    for (const FormatName& entry : kFormats) {
        if (text == entry.name) {
            format = entry.format;
            return true;
        }
    }
    return false;
}

const char* cloud_format_label(CloudFormat format) { return entry_of(format).label; }

std::string cloud_file_name(const std::string& sensor_stem, std::size_t index, CloudFormat format) {
    char suffix[40];
    std::snprintf(suffix, sizeof(suffix), "_%06zu.%s", index, entry_of(format).extension);
    return sensor_stem + suffix;
}

bool write_point_cloud(const std::string& path, CloudFormat format, const VorlanSensorImagePoint* points,
                       std::size_t n_points, std::string& error) {
    File file(std::fopen(path.c_str(), format == CloudFormat::csv ? "w" : "wb"));
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    switch (format) {
        case CloudFormat::ply: write_ply(file.get(), points, n_points); break;
        case CloudFormat::csv: write_csv(file.get(), points, n_points); break;
        case CloudFormat::pcd: write_pcd(file.get(), points, n_points, true); break;
        case CloudFormat::pcd_ascii: write_pcd(file.get(), points, n_points, false); break;
    }
    if (std::ferror(file.get()) != 0 || std::fclose(file.release()) != 0) {
        error = path + ": write failed";
        return false;
    }
    return true;
}

}  // namespace vorlan_tool
