// Exported functions of capture replay.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "c_wrapper.h"
#include "capture_replay.h"

#define VORLAN_SOURCE_FILE "source/c_capture_replay"

namespace {

using vorlan_sdk::CaptureReplay;
using vorlan_sdk::internal::c_value;

int32_t as_int(bool value) { return value ? 1 : 0; }

// Why `path` cannot be a capture, in words, when the file itself says so;
// empty when it can be read and begins like one (the reader's own message
// then tells what is wrong further in).
std::string unreadable_reason(const char* path) {
    struct stat status;
    if (::stat(path, &status) != 0) {
        return std::strerror(errno);
    }
    if (S_ISDIR(status.st_mode)) {
        return "a folder, not a capture file";
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return std::strerror(errno);
    }
    unsigned char magic[4] = {};
    const std::size_t got = std::fread(magic, 1, sizeof(magic), file);
    std::fclose(file);
    if (got < sizeof(magic)) {
        return "too short for a capture file";
    }
    const uint32_t word = uint32_t(magic[0]) | uint32_t(magic[1]) << 8 | uint32_t(magic[2]) << 16 |
                          uint32_t(magic[3]) << 24;
    const bool capture = word == 0xa1b2c3d4 || word == 0xd4c3b2a1 || word == 0xa1b23c4d || word == 0x4d3cb2a1 ||
                         word == 0x0a0d0d0a;
    return capture ? std::string() : "not a capture file (classic PCAP and pcapng files are read)";
}

// Opens the capture; a failure the reader gives without words gets a
// message naming the path and the reason. The code stays the reader's.
vorlan_sdk::SensorError open_with_reason(const char* path) {
    vorlan_sdk::SensorError error = CaptureReplay::instance().open(path);
    if (error.ok() || !error.message().empty() || path == nullptr) {
        return error;
    }
    const std::string reason = unreadable_reason(path);
    if (reason.empty()) {
        return error;
    }
    const VorlanSensorErrorCode code = error.code();  // read, so the original is used
    return vorlan_sdk::SensorError(code, std::string(path) + ": " + reason);
}

}  // namespace

extern "C" {

int32_t vorlan_sdk_capture_replay_is_open(void) {
    return c_value<int32_t>(0, [] { return as_int(CaptureReplay::instance().is_open()); });
}

const char* vorlan_sdk_capture_replay_get_filename(void) {
    return c_value<const char*>("", [] {
        // One copy per thread: a name handed to one thread is not rewritten
        // under it by another thread's call.
        thread_local std::string name;
        name = CaptureReplay::instance().filename();
        return name.c_str();
    });
}

int64_t vorlan_sdk_capture_replay_get_start_time(void) {
    return c_value<int64_t>(0, [] { return CaptureReplay::instance().get_start_time(); });
}

float vorlan_sdk_capture_replay_get_position(void) {
    return c_value<float>(0.0f, [] { return CaptureReplay::instance().get_position(); });
}

float vorlan_sdk_capture_replay_get_length(void) {
    return c_value<float>(0.0f, [] { return CaptureReplay::instance().get_length(); });
}

int32_t vorlan_sdk_capture_replay_is_end(void) {
    return c_value<int32_t>(1, [] { return as_int(CaptureReplay::instance().is_end()); });
}

int32_t vorlan_sdk_capture_replay_is_running(void) {
    return c_value<int32_t>(0, [] { return as_int(CaptureReplay::instance().is_running()); });
}

int32_t vorlan_sdk_capture_replay_get_enable_loop(void) {
    return c_value<int32_t>(0, [] { return as_int(CaptureReplay::instance().get_enable_loop()); });
}

float vorlan_sdk_capture_replay_get_speed(void) {
    return c_value<float>(0.0f, [] { return CaptureReplay::instance().get_speed(); });
}

VorlanSensorErrorCode vorlan_sdk_capture_replay_open(const char* path) {
    return VORLAN_C_CALL(true, open_with_reason(path));
}

VorlanSensorErrorCode vorlan_sdk_capture_replay_close(void) {
    return VORLAN_C_CALL(false, vorlan_sdk::CaptureReplay::instance().close());
}

VorlanSensorErrorCode vorlan_sdk_capture_replay_rewind(void) {
    return VORLAN_C_CALL(true, vorlan_sdk::CaptureReplay::instance().seek(0.0f));
}

VorlanSensorErrorCode vorlan_sdk_capture_replay_seek(float sec) {
    return VORLAN_C_CALL(true, vorlan_sdk::CaptureReplay::instance().seek(sec));
}

VorlanSensorErrorCode vorlan_sdk_capture_replay_set_enable_loop(int32_t enable_loop) {
    return VORLAN_C_CALL(true, vorlan_sdk::CaptureReplay::instance().set_enable_loop((bool)enable_loop));
}

VorlanSensorErrorCode vorlan_sdk_capture_replay_set_speed(float speed) {
    return VORLAN_C_CALL(true, vorlan_sdk::CaptureReplay::instance().set_speed(speed));
}

VorlanSensorErrorCode vorlan_sdk_capture_replay_resume(void) {
    return VORLAN_C_CALL(true, vorlan_sdk::CaptureReplay::instance().resume());
}

VorlanSensorErrorCode vorlan_sdk_capture_replay_resume_blocking_once(void) {
    return VORLAN_C_CALL(true, vorlan_sdk::CaptureReplay::instance().resume_blocking_once());
}

VorlanSensorErrorCode vorlan_sdk_capture_replay_resume_blocking(float sec) {
    return VORLAN_C_CALL(true, vorlan_sdk::CaptureReplay::instance().resume_blocking(sec));
}

VorlanSensorErrorCode vorlan_sdk_capture_replay_pause(void) {
    return VORLAN_C_CALL(true, vorlan_sdk::CaptureReplay::instance().pause());
}

VorlanSensorErrorCode vorlan_sdk_capture_replay_set_keep_duplicates(int32_t keep) {
    return VORLAN_C_CALL(false, vorlan_sdk::CaptureReplay::instance().set_keep_duplicates(keep != 0));
}

int32_t vorlan_sdk_capture_replay_get_keep_duplicates(void) {
    return c_value<int32_t>(0, [] { return as_int(CaptureReplay::instance().get_keep_duplicates()); });
}

uint64_t vorlan_sdk_capture_replay_get_count(int32_t which) {
    return c_value<uint64_t>(0, [which]() -> uint64_t {
        const vorlan_capture::SkipCounters skipped = CaptureReplay::instance().skip_counters();
        const vorlan_capture::Traffic traffic = CaptureReplay::instance().traffic();
        switch (which) {
            case VORLAN_CAPTURE_COUNT_DATAGRAMS: return traffic.datagrams;
            case VORLAN_CAPTURE_COUNT_SENSOR_DATAGRAMS: return traffic.sensor_datagrams;
            case VORLAN_CAPTURE_COUNT_DUPLICATES: return skipped.duplicates;
            case VORLAN_CAPTURE_COUNT_SNAPSHOT_CUT: return skipped.snapshot_cut;
            case VORLAN_CAPTURE_COUNT_INCOMPLETE: return skipped.incomplete;
            case VORLAN_CAPTURE_COUNT_BROKEN: return skipped.broken_header;
            case VORLAN_CAPTURE_COUNT_NOT_UDP: return skipped.not_udp;
            case VORLAN_CAPTURE_COUNT_OTHER_LINK: return skipped.other_link;
            default: return 0;
        }
    });
}

}  // extern "C"
