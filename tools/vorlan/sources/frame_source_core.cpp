#include "frame_source_core.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "capture_check.h"
#include "capture_report.h"
#include "console.h"
#include "exit_codes.h"
#include "frame_summary.h"
#include "stop_signal.h"

namespace vorlan_tool {
namespace {

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f s", seconds);
    return text;
}

// A capture that gave no frame may hold no sensor datagram at all (other
// traffic, other protocols, frames cut short): that is a failure, and the
// user is told what the capture holds instead and where to look.
bool holds_sensor_datagrams(const std::string& file, Console& console) {
    CaptureCheck check = check_capture(file);
    if (!check.error.empty() || check.sensor_datagrams != 0 || check.records == 0) {
        return true;  // nothing at all: the open already said so
    }
    console.error(file + ": no sensor datagram in the capture: " + check.holdings + "; `vorlan check " + file +
                  "` tells more");
    return false;
}

// Whether another program holds `port`. The libraries open their sockets
// so that several may share a port, and a second listener would then hear
// nothing and say nothing: a plain bind, which any holder refuses, tells.
bool port_held_elsewhere(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool held = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 &&
                      errno == EADDRINUSE;
    ::close(fd);
    return held;
}

}  // namespace

bool starts_like_a_capture(const std::string& path) {
    std::FILE* handle = std::fopen(path.c_str(), "rb");
    if (handle == nullptr) {
        return false;
    }
    unsigned char magic[4] = {};
    const bool read = std::fread(magic, 1, sizeof(magic), handle) == sizeof(magic);
    std::fclose(handle);
    static const unsigned char kMagics[][4] = {{0xd4, 0xc3, 0xb2, 0xa1}, {0xa1, 0xb2, 0xc3, 0xd4},
                                               {0x4d, 0x3c, 0xb2, 0xa1}, {0xa1, 0xb2, 0x3c, 0x4d},
                                               {0x0a, 0x0d, 0x0d, 0x0a}};
    for (const auto& known : kMagics) {
        if (read && std::memcmp(magic, known, sizeof(magic)) == 0) {
            return true;
        }
    }
    return false;
}

uint64_t records_lost(const vorlan_capture::SkipCounters& counters) {
    return counters.snapshot_cut + counters.incomplete + counters.broken_header;
}

bool sensor_matches(const std::string& wanted, const SensorFacts& sensor) {
    return wanted.empty() || wanted == sensor.address ||
           (sensor.serial_number != 0 && wanted == std::to_string(sensor.serial_number));
}

FrameSourceCore::FrameSourceCore(Console& console) : m_console(console) {}

FrameSourceCore::~FrameSourceCore() { join_length(); }

void FrameSourceCore::join_length() {
    if (m_length_thread.joinable()) {
        m_length_thread.join();
    }
}

namespace {

// Up to this size a capture's length is awaited before playing: it is
// indexed in well under a second.
constexpr int64_t kLengthAtOpenBytes = int64_t(64) << 20;

int64_t file_bytes(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? static_cast<int64_t>(status.st_size) : 0;
}

}  // namespace

bool check_capture_file(const std::string& path, Console& console) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        console.error(path + ": " + std::strerror(errno));
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        console.error(path + ": is a directory, not a capture file");
        return false;
    }
    // A pipe or a device can be read only once and has no length: the
    // libraries index and seek a capture, which needs a file.
    if (!S_ISREG(status.st_mode)) {
        console.error(path + ": is not a regular file (a pipe or a device cannot be replayed); save it to a file first");
        return false;
    }
    std::FILE* handle = std::fopen(path.c_str(), "rb");
    if (handle == nullptr) {
        console.error(path + ": " + std::strerror(errno));
        return false;
    }
    std::fclose(handle);
    return true;
}

bool FrameSourceCore::open(const FrameSourceSettings& settings) {
    m_settings = settings;
    m_speed.store(settings.speed);
    m_shown = settings.start <= 0.0;
    if (!settings.capture.empty()) {
        if (!check_capture_file(settings.capture, m_console)) {
            return false;
        }
    }
    if (settings.capture.empty() && settings.multicast_group.empty() && port_held_elsewhere(settings.port)) {
        m_console.error("cannot listen on UDP port " + std::to_string(settings.port) +
                        ": another program is listening on it");
        return false;
    }
    if (!start_library()) {
        return false;
    }
    const bool opened = settings.capture.empty() ? open_port() : open_capture(settings.capture);
    if (!opened) {
        stop_library();
        return false;
    }
    if (!settings.capture.empty()) {
        // Playing does not wait for the length of a long capture: the
        // libraries index it while the first frames come. A start position
        // is checked against it, and a short capture is indexed in a moment.
        m_length_thread = std::thread([this] {
            const double seconds = wait_for_length();
            if (seconds >= 0.0) {
                m_length.store(seconds);
                m_length_known.store(true);
            }
        });
        if (settings.start > 0.0 || file_bytes(settings.capture) <= kLengthAtOpenBytes) {
            m_length_thread.join();
        }
    }
    if (!settings.capture.empty() && settings.start > 0.0 && settings.start >= m_length.load()) {
        m_console.error(settings.capture + ": --start " + seconds_text(settings.start) +
                        " is at or beyond the capture's end (it lasts " + seconds_text(m_length.load()) + ")");
        stop_library();
        return false;
    }
    m_open = true;
    return true;
}

std::string FrameSourceCore::opening_line() const {
    std::string line;
    if (m_settings.capture.empty()) {
        line = "listening on UDP port " + std::to_string(m_settings.port);
        if (!m_settings.multicast_group.empty()) {
            line += " (group " + m_settings.multicast_group + ")";
        }
        line += "  library " + std::to_string(library()) + "  frame mode " + frame_mode_text();
        return line + (m_settings.listen_seconds > 0.0 ? "" : "  (Ctrl-C stops)");
    }
    char speed[32] = "fastest";
    if (m_settings.speed != 0.0f) {
        std::snprintf(speed, sizeof(speed), "%gx", static_cast<double>(m_settings.speed));
    }
    std::string extent;
    if (m_length_known.load()) {
        extent = seconds_text(m_length.load());
    } else {
        char size[48];
        std::snprintf(size, sizeof(size), "of %.1f GB, length still being indexed",
                      static_cast<double>(file_bytes(m_settings.capture)) / 1e9);
        extent = size;
    }
    return m_settings.capture + ": capture " + extent + "  library " +
           std::to_string(library()) + "  frame mode " + frame_mode_text() + "  speed " + speed +
           (m_settings.loop ? "  looping" : "");
}

int FrameSourceCore::run(const FrameSink& frames, const SensorSink& sensors) {
    if (!m_open) {
        return kExitFailure;
    }
    m_frame_sink = frames;
    m_sensor_sink = sensors;
    m_console.line(opening_line());
    int result = feed();
    m_console.end_progress();
    // The counts go with the capture when the library closes it.
    const bool nothing_lost = m_settings.capture.empty() || account_for_reading();
    stop_library();
    m_open = false;
    if (result == kExitSuccess && stop_requested()) {
        return kExitInterrupted;
    }
    if (result == kExitSuccess && !nothing_lost) {
        result = kExitFailure;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (result == kExitSuccess && m_frames == 0 && !m_settings.capture.empty() &&
        !holds_sensor_datagrams(m_settings.capture, m_console)) {
        result = kExitFailure;
    }
    if (result == kExitSuccess && !m_settings.sensor.empty()) {
        bool matched = false;
        for (const auto& entry : m_sensors) {
            matched = matched || sensor_matches(m_settings.sensor, entry.second.facts);
        }
        if (!matched) {
            m_console.warning("no sensor matches --sensor " + m_settings.sensor +
                              " (give its dotted address or its serial number)");
        }
    }
    return result;
}

bool FrameSourceCore::account_for_reading() {
    vorlan_capture::SkipCounters counters;
    if (!capture_counts(counters)) {
        return true;
    }
    if (m_cut_end.load() && counters.broken_header > 0) {
        --counters.broken_header;  // the cut record was told of, with its place
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_read_losses = counters;
    }
    if (records_lost(counters) == 0) {
        return true;
    }
    // Copies dropped lose nothing: the summary tells of them.
    counters.duplicates = 0;
    m_console.error(m_settings.capture + ": " + vorlan_capture::describe_losses(counters) +
                    "; what they held is missing from the frames (`vorlan check " + m_settings.capture +
                    "` tells more)");
    return false;
}

FrameSourceCore::SensorState& FrameSourceCore::sensor_locked(uint64_t handle) {
    auto found = m_sensors.find(handle);
    if (found == m_sensors.end()) {
        if (m_sensors.size() >= kTrackedSenders) {
            forget_quiet_locked();
        }
        SensorState state;
        state.facts.handle = handle;
        state.facts.address = dotted_address(handle);
        state.facts.name = state.facts.address;
        state.facts.generation = 0;
        state.snapshot = std::make_shared<const SensorFacts>(state.facts);
        found = m_sensors.emplace(handle, std::move(state)).first;
    }
    found->second.last_active = ++m_activity;
    return found->second;
}

void FrameSourceCore::forget_quiet_locked() {
    // A quarter at a time, so that a flood sorts the table once per
    // kTrackedSenders / 4 new sensors rather than scanning it for each. A
    // sensor that is sending is heard of at every frame and stays; one
    // forgotten and heard again starts afresh (its frames are counted anew).
    std::vector<std::pair<uint64_t, uint64_t>> by_activity;  // (last_active, handle)
    by_activity.reserve(m_sensors.size());
    for (const auto& entry : m_sensors) {
        by_activity.emplace_back(entry.second.last_active, entry.first);
    }
    const std::size_t forget = std::max<std::size_t>(1, m_sensors.size() / 4);
    std::nth_element(by_activity.begin(), by_activity.begin() + std::ptrdiff_t(forget - 1), by_activity.end());
    for (std::size_t i = 0; i < forget; ++i) {
        m_sensors.erase(by_activity[i].second);
    }
    m_sensors_forgotten += forget;
}

void FrameSourceCore::note_sensor(SensorFacts facts) {
    std::shared_ptr<const SensorFacts> changed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        SensorState& sensor = sensor_locked(facts.handle);
        facts.address = dotted_address(facts.handle);
        facts.name = facts.serial_number != 0 ? facts.address + " serial " + std::to_string(facts.serial_number)
                                              : facts.address;
        const SensorFacts& known = sensor.facts;
        if (known.serial_number == facts.serial_number && known.model == facts.model &&
            known.channels == facts.channels && known.firmware == facts.firmware && known.returns == facts.returns &&
            known.sync == facts.sync &&
            known.generation == facts.generation) {
            return;
        }
        sensor.facts = facts;
        sensor.snapshot = std::make_shared<const SensorFacts>(facts);
        // After the last frame the source may run on a little until it is
        // stopped; what it brings then is not shown, so a run that stops at
        // a frame limit prints the same every time.
        if (!finished_locked()) {
            changed = sensor.snapshot;
        }
    }
    if (changed && m_sensor_sink) {
        m_sensor_sink(*changed);
    }
}

void FrameSourceCore::note_undecodable(uint64_t handle, uint64_t datagrams) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_undecodable.note(handle);
    m_losses.undecodable += datagrams;
}

void FrameSourceCore::add_losses(const LossCounts& losses) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_losses += losses;
    for (auto& entry : m_sensors) {
        entry.second.pending += losses;
    }
}

void FrameSourceCore::set_received(uint64_t received) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_losses.received = received;
}

void FrameSourceCore::set_kernel_dropped(uint64_t dropped, bool counted) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_losses.kernel_dropped = dropped;
    m_losses.kernel_counted = counted;
}

void FrameSourceCore::restart_frames() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& entry : m_sensors) {
        entry.second.made = 0;
    }
    m_past_end = false;
    m_shown = m_settings.start <= 0.0;
}

void FrameSourceCore::note_position(double seconds) {
    m_position.store(seconds);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (seconds >= m_settings.start) {
        m_shown = true;
    }
    if (m_settings.end >= 0.0 && seconds > m_settings.end) {
        m_past_end = true;
        m_changed.notify_all();
    }
}

bool FrameSourceCore::finished_locked() const {
    return m_sink_done || m_past_end || stop_requested() ||
           (m_settings.frame_limit != 0 && m_frames >= m_settings.frame_limit);
}

bool FrameSourceCore::finished() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return finished_locked();
}

bool FrameSourceCore::held() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_paused && !m_step_pending;
}

void FrameSourceCore::wait_a_little(std::chrono::milliseconds slice) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, slice, [this] { return finished_locked(); });
}

void FrameSourceCore::deliver(const LibraryFrame& library_frame) {
    bool look_up = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        look_up = sensor_locked(library_frame.handle).facts.serial_number == 0;
    }
    // Points may come before the sensor's information: the library may know
    // more than its listeners were told so far.
    SensorFacts facts;
    if (look_up && look_up_sensor(library_frame.handle, facts)) {
        facts.handle = library_frame.handle;
        note_sensor(facts);
    }

    Frame frame;
    std::shared_ptr<const SensorFacts> sensor;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (finished_locked()) {
            return;
        }
        SensorState& state = sensor_locked(library_frame.handle);
        const std::size_t ordinal = state.made++;
        if (library_frame.position >= 0.0) {
            if (m_settings.end >= 0.0 && library_frame.position > m_settings.end) {
                m_past_end = true;
                m_changed.notify_all();
                return;
            }
            if (library_frame.position >= m_settings.start) {
                m_shown = true;
            }
        }
        if (!m_shown || !sensor_matches(m_settings.sensor, state.facts)) {
            return;
        }
        // A sensor's first frame starts wherever its traffic (or the feed)
        // starts: only frames after it can be whole.
        frame.whole = library_frame.cut_by_rule && ordinal >= 1;
        if (m_settings.whole_frames_only && !frame.whole) {
            return;
        }
        frame.index = m_frames++;
        frame.sensor_index = state.handed_out++;
        frame.losses = state.pending;
        state.pending = LossCounts();
        sensor = state.snapshot;
        m_points += library_frame.n_points;
        m_valid += library_frame.n_valid;
    }
    frame.sensor = sensor.get();
    frame.first_time = library_frame.first_time;
    frame.last_time = library_frame.last_time;
    frame.points = library_frame.points;
    frame.n_points = library_frame.n_points;
    frame.n_valid = library_frame.n_valid;
    // Deliveries come one at a time, so the sink needs no lock of ours.
    const bool more = !m_frame_sink || m_frame_sink(frame);
    bool stepped = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sink_done = m_sink_done || !more;
        stepped = m_step_pending;
        m_step_pending = false;
        m_changed.notify_all();
    }
    if (stepped) {
        on_paused_by_step();
    }
}

std::vector<SensorFacts> FrameSourceCore::sensors() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<SensorFacts> list;
    for (const auto& entry : m_sensors) {
        list.push_back(entry.second.facts);
    }
    return list;
}

LossCounts FrameSourceCore::losses() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_losses;
}

std::string format_loss_counts(const LossCounts& counts) {
    return "received " + std::to_string(counts.received) +
           (counts.queue_counted ? "  queue dropped " + std::to_string(counts.queue_dropped)
                                 : std::string("  queue drops not reported")) +
           (counts.kernel_counted ? "  kernel dropped " + std::to_string(counts.kernel_dropped)
                                  : std::string("  kernel drops not reported"));
}

std::string FrameSourceCore::summary() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    char text[200];
    std::snprintf(text, sizeof(text), "sensors %zu  frames %zu  points %" PRIu64 "  valid %" PRIu64,
                  m_sensors.size(), m_frames, m_points, m_valid);
    std::string summary = text;
    if (m_sensors_forgotten > 0) {
        summary += " (" + std::to_string(m_sensors_forgotten) +
                   " more were forgotten when they went quiet, to make room for new ones)";
    }
    if (m_settings.capture.empty()) {
        summary += "  " + format_loss_counts(m_losses);
    }
    std::string left_out = vorlan_capture::describe_losses(m_read_losses);
    if (m_cut_end.load()) {
        left_out += (left_out.empty() ? "" : ", ") + std::string("the rest of the file after a record cut short");
    }
    if (!left_out.empty()) {
        summary += "  left out: " + left_out;
    }
    if (!m_undecodable.empty()) {
        summary += "\n" + m_undecodable.text() + " (" + std::to_string(m_losses.undecodable) + " datagrams) that library " +
                   std::to_string(library()) + " cannot decode: --sdk 2 reads them";
    }
    return summary;
}

void FrameSourceCore::set_paused(bool paused) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_paused = paused;
        m_step_pending = false;
        m_changed.notify_all();
    }
    on_pause_changed(paused);
}

void FrameSourceCore::step() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_paused) {
            return;
        }
        m_step_pending = true;
        m_changed.notify_all();
    }
    on_pause_changed(false);
}

void FrameSourceCore::seek(double seconds) {
    seek_library(seconds < 0.0 ? 0.0 : seconds);
}

void FrameSourceCore::set_speed(float speed) {
    m_speed.store(speed);
    set_library_speed(speed);
}

}  // namespace vorlan_tool
