// `vorlan record FILE`: live traffic into a capture file.
//
// The library listens and hands every datagram to its network-packet
// callback before decoding it; the callback appends it to the capture with
// the library's own capture writer. The recording is therefore exactly what
// the library saw (same socket, same receive times, same sender addresses),
// a busy port is reported the way the library reports it, and the sensors
// heard are printed as the library decodes them.
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "capture.h"
#include "commands.h"
#include "loss_report.h"
#include "output_file.h"
#include "stop_signal.h"

namespace vorlan_tool {
namespace {

class Recorder {
public:
    explicit Recorder(std::string file) : m_file(std::move(file)) {}

    // Prints why the file cannot be written and returns false. Datagrams
    // that came before are written first.
    bool open(Console& console) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const vorlan_sdk::SensorError error = m_capture.open_for_write(m_file, false);
        if (!error.ok()) {
            error.mark_used();
            console.error("cannot write " + m_file + ": " + system_reason());
            return false;
        }
        for (const EarlyPacket& packet : m_early) {
            append_locked(packet.sender, packet.timestamp, packet.data.data(), packet.data.size());
        }
        m_early.clear();
        m_early.shrink_to_fit();
        return true;
    }

    // Called on the library's packet thread.
    void append(VorlanSensorHandle sender, int64_t timestamp, const uint8_t* data, std::size_t size) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_capture.is_open()) {
            // The port is bound before the file is opened (a busy port must
            // not cost the user an existing file), so the first datagrams
            // can come first; they wait here, a few milliseconds' worth.
            if (m_early.size() < kMaxEarlyPackets) {
                m_early.push_back({sender, timestamp, std::vector<uint8_t>(data, data + size)});
            }
            return;
        }
        append_locked(sender, timestamp, data, size);
    }

    // Closes the file; the library must be stopped first.
    int finish(Console& console, double seconds, const LossCounts& losses) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_capture.close();
        if (m_too_large != 0) {
            console.warning(std::to_string(m_too_large) + " datagrams too large for a capture record were left out");
        }
        if (m_write_failed) {
            console.error(m_file + ": writing failed (" + m_write_error + "); the capture ends before it");
        }
        char line[200];
        std::snprintf(line, sizeof(line), "recorded %" PRIu64 " packets (%" PRIu64 " bytes) from %zu senders in %.1f s",
                      m_packets, m_bytes, m_senders.size(), seconds);
        console.line(std::string(line) + " to " + m_file);
        console.line("datagrams " + format_losses(losses));
        const uint64_t missed = losses.queue_dropped + losses.left_queued + losses.kernel_dropped;
        if (missed != 0) {
            console.warning("the recording misses " + std::to_string(missed) + " datagrams the sensors sent");
        }
        return m_write_failed ? kExitFailure : kExitSuccess;
    }

    uint64_t packets() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_packets;
    }

private:
    struct EarlyPacket {
        VorlanSensorHandle sender;
        int64_t timestamp;
        std::vector<uint8_t> data;
    };
    static constexpr std::size_t kMaxEarlyPackets = 100000;

    void append_locked(VorlanSensorHandle sender, int64_t timestamp, const uint8_t* data, std::size_t size) {
        if (m_write_failed) {
            return;
        }
        if (size > static_cast<std::size_t>(vorlan_sdk::Capture::kMaxWritePayload)) {
            ++m_too_large;  // fits no record of the file's snapshot length
            return;
        }
        vorlan_sdk::Capture::PacketHeader header;
        header.source_address = sender & 0xffffffffu;
        header.timestamp = timestamp;
        header.data_size = static_cast<int32_t>(size);
        const vorlan_sdk::SensorError error = m_capture.append_packet(header, data);
        if (!error.ok()) {
            m_write_failed = true;
            m_write_error = vorlan_get_error_code_name(error.code());
            return;
        }
        ++m_packets;
        m_bytes += size;
        m_senders.insert(static_cast<uint32_t>(header.source_address));
    }

    // The system's words for why the file cannot be opened for writing.
    std::string system_reason() const {
        std::FILE* file = std::fopen(m_file.c_str(), "ab");
        if (file == nullptr) {
            return std::strerror(errno);
        }
        std::fclose(file);
        return "the file cannot be written";
    }

    const std::string m_file;
    std::mutex m_mutex;  // guards everything below
    vorlan_sdk::Capture m_capture;
    uint64_t m_packets = 0;
    uint64_t m_bytes = 0;
    uint64_t m_too_large = 0;
    std::set<uint32_t> m_senders;
    std::vector<EarlyPacket> m_early;
    bool m_write_failed = false;
    std::string m_write_error;
};

}  // namespace

int run_record(const RecordSettings& settings, Console& console) {
    // The path before the socket: a mistyped folder or an existing capture
    // is reported before anything is received.
    if (!check_output_file(settings.file, settings.force, console)) {
        return kExitFailure;
    }
    LossMeter losses;  // before the socket opens: from its first datagram
    Recorder recorder(settings.file);
    Session session(console);
    session.set_packet_sink([&recorder, &losses](VorlanSensorHandle sender, int64_t timestamp, const uint8_t* data,
                                                 std::size_t size) {
        recorder.append(sender, timestamp, data, size);
        losses.handled();
    });
    SessionSettings session_settings;
    session_settings.network = true;
    session_settings.port = settings.port;
    // Frames are not shown; streaming keeps the library from buffering them.
    session_settings.frames.mode = VORLAN_SDK_FRAME_STREAMING;
    session_settings.print_frames = false;
    // The port first: a busy port leaves no file behind.
    if (!session.start(session_settings) || !recorder.open(console)) {
        return kExitFailure;
    }
    console.line("recording UDP port " + std::to_string(settings.port) + " into " + settings.file +
                 (settings.seconds > 0.0 ? "" : "  (Ctrl-C stops)"));
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&start] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    while (!stop_requested() && (settings.seconds <= 0.0 || elapsed() < settings.seconds)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (console.shows_progress()) {
            char label[64];
            std::snprintf(label, sizeof(label), "%.1f s  packets %" PRIu64 "  ", elapsed(), recorder.packets());
            console.progress(settings.seconds > 0.0 ? elapsed() / settings.seconds : 0.0,
                             label + format_losses(losses.counts()));
        }
    }
    console.end_progress();
    const double seconds = elapsed();
    losses.wait_until_handled(kDrainBound);
    const std::string shortfall = receive_buffer_shortfall();
    session.stop();
    const int result = recorder.finish(console, seconds, losses.counts());
    if (!shortfall.empty()) {
        console.warning(shortfall);
    }
    return result;
}

}  // namespace vorlan_tool
