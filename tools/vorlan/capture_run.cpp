#include "capture_run.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "capture_check.h"
#include "commands.h"
#include "converted_capture.h"
#include "stop_signal.h"

namespace vorlan_tool {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(20);
// The replay thread never waits this long for a packet (it re-anchors its
// clock after one second), so a position that stands still this long means
// the thread ended on an error, which the library has printed.
constexpr auto kStallTimeout = std::chrono::seconds(5);

std::string progress_label(float position, float length, std::size_t frames) {
    char label[96];
    std::snprintf(label, sizeof(label), "%.1f/%.1f s  frames %zu", static_cast<double>(position),
                  static_cast<double>(length), frames);
    return label;
}

double fraction_of(float position, float length) {
    return length > 0.0f ? static_cast<double>(position / length) : 1.0;
}

// Feeds one packet at a time on this thread: after each, the session may
// apply its frame options again before the next packet is decoded, so the
// frames of a file are the same on every run.
int run_stepped(Session& session, Console& console, const CaptureRunSettings& settings,
                const std::function<bool()>& finished) {
    const float length = vorlan_sdk_capture_replay_get_length();
    while (!finished()) {
        const VorlanSensorErrorCode code = vorlan_sdk_capture_replay_resume_blocking_once();
        if (code == VORLAN_ERROR_EOF) {
            break;
        }
        if (code != VORLAN_SUCCESS) {
            // What was read before stays printed: a capture cut short by a
            // recording that was killed is still worth looking at.
            char at[48];
            std::snprintf(at, sizeof(at), " at %.3f s", static_cast<double>(vorlan_sdk_capture_replay_get_position()));
            if (code == VORLAN_ERROR_FILE_IO) {
                console.error(settings.file + ": the capture is cut short or cannot be read" + at);
            } else if (code == VORLAN_ERROR_CORRUPT_FILE) {
                console.error(settings.file + ": the capture is damaged" + at + ": " + library_error_text(code));
            } else {
                console.error(settings.file + ": replay stopped" + at + ": " + library_error_text(code));
            }
            return kExitFailure;
        }
        session.poll();
        if (console.shows_progress()) {
            const float position = vorlan_sdk_capture_replay_get_position();
            console.progress(fraction_of(position, length), progress_label(position, length, session.frame_count()));
        }
    }
    return kExitSuccess;
}

// Lets the library's replay thread pace the packets and watches it.
int run_paced(Session& session, Console& console, const CaptureRunSettings& settings,
              const std::function<bool()>& finished) {
    VorlanSensorErrorCode code = vorlan_sdk_capture_replay_set_speed(settings.speed);
    if (code == VORLAN_SUCCESS) {
        code = vorlan_sdk_capture_replay_resume();
    }
    if (code != VORLAN_SUCCESS) {
        console.error(settings.file + ": cannot replay: " + library_error_text(code));
        return kExitFailure;
    }
    const float length = vorlan_sdk_capture_replay_get_length();
    float last_position = -1.0f;
    auto last_move = std::chrono::steady_clock::now();
    int result = kExitSuccess;
    while (!finished()) {
        std::this_thread::sleep_for(kPollInterval);
        session.poll();
        if (!settings.loop && vorlan_sdk_capture_replay_is_end() != 0) {
            break;
        }
        const float position = vorlan_sdk_capture_replay_get_position();
        const auto now = std::chrono::steady_clock::now();
        if (position != last_position) {
            last_position = position;
            last_move = now;
        } else if (!settings.loop && now - last_move > kStallTimeout) {
            console.error(settings.file + ": replay stopped before the end of the capture");
            result = kExitFailure;
            break;
        }
        console.progress(fraction_of(position, length), progress_label(position, length, session.frame_count()));
    }
    code = vorlan_sdk_capture_replay_pause();
    if (code != VORLAN_SUCCESS) {
        console.warning("cannot pause the replay: " + library_error_text(code));
    }
    return result;
}

// Whether the file begins with the magic number of the captures the library
// reads (0xa1b2c3d4, little-endian).
bool starts_like_a_capture(const std::string& file) {
    std::FILE* handle = std::fopen(file.c_str(), "rb");
    if (handle == nullptr) {
        return false;
    }
    unsigned char magic[4] = {};
    const bool read = std::fread(magic, 1, sizeof(magic), handle) == sizeof(magic);
    std::fclose(handle);
    return read && magic[0] == 0xd4 && magic[1] == 0xc3 && magic[2] == 0xb2 && magic[3] == 0xa1;
}

// A capture that gave no frame may hold records but no datagram at all
// (other protocols, frames cut short): that is a failure, and the user is
// told why and where to look.
bool yields_datagrams(const ConvertedCapture& capture, const std::string& file, Console& console) {
    CaptureCheck check = check_capture(capture.path());
    if (!check.error.empty() || check.datagrams != 0) {
        return true;
    }
    uint64_t records = check.records;
    vorlan_capture::SkipCounters skipped = check.skipped;
    if (capture.converted()) {
        records = capture.report().records;
        const vorlan_capture::SkipCounters& dropped = capture.report().skipped;
        skipped.not_udp += dropped.not_udp;
        skipped.other_link += dropped.other_link;
        skipped.snapshot_cut += dropped.snapshot_cut;
        skipped.broken_header += dropped.broken_header;
    }
    if (records == 0) {
        return true;  // nothing at all: the open already said so
    }
    const std::string reasons = describe_skipped(skipped);
    console.error(file + ": its " + std::to_string(records) + " records give no UDP datagram" +
                  (reasons.empty() ? "" : " (" + reasons + ")") + "; `vorlan check " + file + "` tells more");
    return false;
}

}  // namespace

bool check_readable(const std::string& file, Console& console) {
    std::error_code error;
    if (std::filesystem::is_directory(file, error)) {
        console.error(file + ": is a directory, not a capture file");
        return false;
    }
    std::FILE* handle = std::fopen(file.c_str(), "rb");
    if (handle == nullptr) {
        console.error(file + ": " + std::strerror(errno));
        return false;
    }
    std::fclose(handle);
    return true;
}

bool open_capture(const std::string& file, Console& console) {
    if (!check_readable(file, console)) {
        return false;
    }
    const VorlanSensorErrorCode code = vorlan_sdk_capture_replay_open(file.c_str());
    switch (code) {
        case VORLAN_SUCCESS:
            return true;
        case VORLAN_ERROR_INVALID_FILE_TYPE:
            console.error(file + ": not a capture file (a classic PCAP file with microsecond times is expected)");
            break;
        case VORLAN_ERROR_FILE_IO:
            // The library cannot tell a file too short for a capture header
            // from a capture cut short; its first bytes can.
            console.error(file +
                          (starts_like_a_capture(file)
                               ? ": the capture is cut short or cannot be read"
                               : ": not a capture file (a classic PCAP file with microsecond times is expected)"));
            break;
        case VORLAN_ERROR_CORRUPT_FILE:
            console.error(file + ": the capture is damaged: " + library_error_text(code));
            break;
        case VORLAN_ERROR_INVALID_ARGUMENTS:
            // Opening stands at the first packet, which a capture without
            // packets does not have.
            console.error(file + ": the capture holds no packets");
            break;
        default:
            console.error(file + ": cannot replay: " + library_error_text(code));
            break;
    }
    return false;
}

int run_capture(Session& session, Console& console, const CaptureRunSettings& settings,
                const std::function<bool()>& done) {
    ConvertedCapture capture;
    if (!capture.prepare(settings.file, console) || !open_capture(capture.path(), console)) {
        return kExitFailure;
    }
    char speed[32] = "fastest";
    if (settings.speed != 0.0f) {
        std::snprintf(speed, sizeof(speed), "%gx", static_cast<double>(settings.speed));
    }
    char opened[160];
    std::snprintf(opened, sizeof(opened), "capture %.1f s  frame mode %s  speed %s%s",
                  static_cast<double>(vorlan_sdk_capture_replay_get_length()),
                  frame_mode_name(vorlan_sdk_get_frame_mode()), speed, settings.loop ? "  looping" : "");
    console.line(settings.file + ": " + opened);
    int result = kExitSuccess;
    const VorlanSensorErrorCode code = vorlan_sdk_capture_replay_set_enable_loop(settings.loop ? 1 : 0);
    if (code != VORLAN_SUCCESS) {
        console.error(settings.file + ": cannot set looping: " + library_error_text(code));
        result = kExitFailure;
    } else {
        const auto finished = [&] { return session.frame_limit_reached() || (done && done()) || stop_requested(); };
        result = settings.speed == 0.0f ? run_stepped(session, console, settings, finished)
                                        : run_paced(session, console, settings, finished);
    }
    console.end_progress();
    vorlan_sdk_capture_replay_close();
    if (result == kExitSuccess && session.frame_count() == 0 && !yields_datagrams(capture, settings.file, console)) {
        result = kExitFailure;
    }
    return result;
}

}  // namespace vorlan_tool
