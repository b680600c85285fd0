#include "capture_run.h"

#include <algorithm>
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

std::string progress_label(float position, float length, std::size_t frames) {
    char label[96];
    std::snprintf(label, sizeof(label), "%.1f/%.1f s  frames %zu", static_cast<double>(position),
                  static_cast<double>(length), frames);
    return label;
}

double fraction_of(float position, float length) {
    return length > 0.0f ? static_cast<double>(position / length) : 1.0;
}

// Waits until each packet's time comes at the chosen rate. Like the
// library's own pacing it re-anchors when more than a second off, so a slow
// consumer never builds up a backlog. The packet is waited for after it was
// fed: it comes at most one packet interval early.
class Pacer {
public:
    explicit Pacer(float speed) : m_speed(speed) {}

    void restart() { m_anchored = false; }

    void wait_for(int64_t packet_time_us) {
        if (m_speed <= 0.0f) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!m_anchored) {
            m_anchored = true;
            m_anchor_clock = now;
            m_anchor_time = packet_time_us;
            return;
        }
        const auto due = m_anchor_clock + std::chrono::microseconds(static_cast<int64_t>(
                                              static_cast<double>(packet_time_us - m_anchor_time) / m_speed));
        if (due - now > kMaxDrift || now - due > kMaxDrift) {
            m_anchor_clock = now;
            m_anchor_time = packet_time_us;
            return;
        }
        // In slices, so that a stop request is seen soon.
        for (auto at = now; at < due && !stop_requested(); at = std::chrono::steady_clock::now()) {
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(due - at, kSlice));
        }
    }

private:
    static constexpr std::chrono::seconds kMaxDrift{1};
    static constexpr std::chrono::milliseconds kSlice{50};

    const float m_speed;
    bool m_anchored = false;
    std::chrono::steady_clock::time_point m_anchor_clock{};
    int64_t m_anchor_time = 0;
};

void report_read_failure(Console& console, const CaptureRunSettings& settings, VorlanSensorErrorCode code) {
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
}

// Feeds one packet at a time on this thread; between two packets the
// session applies frame options it has pending.
int run_stepped(Session& session, Console& console, const CaptureRunSettings& settings,
                const std::function<bool()>& finished) {
    const float length = vorlan_sdk_capture_replay_get_length();
    Pacer pacer(settings.speed);
    session.set_frames_shown(settings.start <= 0.0);
    // Each pass is played like the first: the library forgets its sensors
    // and their frames (a sensor also holds its last data packet until the
    // next one comes), so no frame mixes the end of the capture with its
    // start.
    const auto start_again = [&]() -> bool {
        VorlanSensorErrorCode rewound = vorlan_sdk_clear();
        if (rewound == VORLAN_SUCCESS) {
            rewound = vorlan_sdk_capture_replay_rewind();
        }
        if (rewound != VORLAN_SUCCESS) {
            console.error(settings.file + ": cannot start again: " + library_error_text(rewound));
            return false;
        }
        session.restart_frames();
        session.set_frames_shown(settings.start <= 0.0);
        pacer.restart();
        return true;
    };
    while (!finished()) {
        const VorlanSensorErrorCode code = vorlan_sdk_capture_replay_resume_blocking_once();
        if (code == VORLAN_ERROR_EOF) {
            if (!settings.loop) {
                break;
            }
            if (!start_again()) {
                return kExitFailure;
            }
            continue;
        }
        if (code != VORLAN_SUCCESS) {
            report_read_failure(console, settings, code);
            return kExitFailure;
        }
        session.apply_pending_frame_options();
        const float position = vorlan_sdk_capture_replay_get_position();
        if (settings.end >= 0.0 && static_cast<double>(position) > settings.end) {
            if (!settings.loop) {
                break;
            }
            if (!start_again()) {
                return kExitFailure;
            }
            continue;
        }
        if (static_cast<double>(position) >= settings.start) {
            session.set_frames_shown(true);
        }
        pacer.wait_for(session.last_packet_time());
        if (console.shows_progress()) {
            console.progress(fraction_of(position, length), progress_label(position, length, session.frame_count()));
        }
    }
    return kExitSuccess;
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
    const auto finished = [&] { return session.frame_limit_reached() || (done && done()) || stop_requested(); };
    int result = run_stepped(session, console, settings, finished);
    console.end_progress();
    vorlan_sdk_capture_replay_close();
    if (result == kExitSuccess && session.frame_count() == 0 && !yields_datagrams(capture, settings.file, console)) {
        result = kExitFailure;
    }
    return result;
}

}  // namespace vorlan_tool

namespace vorlan_tool {

CaptureRunSettings capture_run_settings(const std::string& file, const CaptureSelection& selection) {
    CaptureRunSettings run;
    run.file = file;
    run.speed = selection.speed;
    run.start = selection.start;
    run.end = selection.end;
    return run;
}

void warn_if_no_sensor_matched(Session& session, Console& console, const std::string& sensor) {
    if (!sensor.empty() && !session.sensor_filter_matched()) {
        console.warning("no sensor matches --sensor " + sensor + " (give its dotted address or its serial number)");
    }
}

}  // namespace vorlan_tool
