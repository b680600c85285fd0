// `vorlan record FILE`: live traffic into a capture file.
//
// The library listens and hands every datagram to the frame source's
// datagram sink before decoding it; the sink writes it to the capture. The
// recording is therefore exactly what the library saw (same socket, same
// receive times, same sender addresses), a busy port is reported the way the
// library reports it, and the sensors heard are printed as the library
// decodes them. The file is written under a temporary name and appears only
// when the recording was written whole.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <vector>

#include "capture_writer.h"
#include "commands.h"
#include "frame_command.h"
#include "frame_source.h"
#include "frame_source_core.h"
#include "replacing_file.h"
#include "sender_tally.h"

namespace vorlan_tool {
namespace {

// Where recorded datagrams say they went: this host, the port listened on.
constexpr uint32_t kLoopback = 0x7f000001u;

class Recorder {
public:
    explicit Recorder(uint16_t port) : m_port(port) {}

    bool open(const std::string& temporary) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_writer.open(temporary);
    }

    // Called on the library's receiving thread.
    void append(uint64_t sender, int64_t time, const uint8_t* data, std::size_t size) {
        std::lock_guard<std::mutex> lock(m_mutex);
        UdpAddressing addressing;
        addressing.source = static_cast<uint32_t>(sender);
        addressing.destination = kLoopback;
        addressing.destination_port = m_port;
        addressing.identification = static_cast<uint16_t>(m_packets);
        const std::size_t count = udp_ethernet_frames(addressing, data, size, kEthernetMtu, m_frames);
        if (count == 0) {
            ++m_too_large;  // longer than any IPv4 datagram
            return;
        }
        for (std::size_t i = 0; i < count; ++i) {
            m_writer.write(time, m_frames[i].data(), m_frames[i].size());
        }
        ++m_packets;
        m_bytes += size;
        m_senders.note(sender);
    }

    // Closes the file; false (with `error`) when anything failed on the way.
    bool close(std::string& error) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool closed = m_writer.close();
        error = m_writer.error();
        return closed;
    }

    uint64_t packets() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_packets;
    }

    std::string line(double seconds, const std::string& file) {
        std::lock_guard<std::mutex> lock(m_mutex);
        char text[200];
        std::snprintf(text, sizeof(text), "recorded %" PRIu64 " packets (%" PRIu64 " bytes) from %s in %.1f s",
                      m_packets, m_bytes, m_senders.text().c_str(), seconds);
        return std::string(text) + " to " + file;
    }

    uint64_t too_large() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_too_large;
    }

private:
    const uint16_t m_port;
    std::mutex m_mutex;  // guards everything below
    CaptureWriter m_writer;
    std::vector<std::vector<uint8_t>> m_frames;  // reused for every datagram
    uint64_t m_packets = 0;
    uint64_t m_bytes = 0;
    uint64_t m_too_large = 0;
    SenderTally m_senders;
};

}  // namespace

int run_record(const RecordSettings& settings, Console& console) {
    // The path before the socket: a mistyped folder or an existing capture
    // is reported before anything is received.
    if (!check_output_file(settings.file, settings.force, console)) {
        return kExitFailure;
    }
    ReplacingFile file(settings.file);
    std::string error;
    if (!file.create(error)) {
        console.error(file.failure(error));
        return kExitFailure;
    }
    Recorder recorder(settings.port);
    if (!recorder.open(file.temporary())) {
        std::string reason;
        recorder.close(reason);
        console.error(file.failure(reason));
        return kExitFailure;
    }
    FrameOptions frames;
    frames.library = settings.library;
    // Frames are not shown; streaming keeps the first library from
    // buffering them.
    frames.mode = settings.library == 1 ? FrameMode::streaming : FrameMode::timed;
    FrameSourceSettings source_options = source_settings(frames, "", CaptureSelection(), 0);
    source_options.port = settings.port;
    source_options.listen_seconds = settings.seconds;
    std::unique_ptr<FrameSource> source = make_frame_source(settings.library, console);
    source->set_datagram_sink([&recorder](uint64_t sender, int64_t time, const uint8_t* data, std::size_t size) {
        recorder.append(sender, time, data, size);
    });
    if (!source->open(source_options)) {
        return kExitFailure;  // the temporary file goes with `file`
    }
    const auto start = std::chrono::steady_clock::now();
    const int code = source->run([](const Frame&) { return true; }, sensor_printer(console, false));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (code == kExitFailure) {
        return code;
    }
    // The library is stopped: nothing more comes.
    if (!recorder.close(error) || !file.commit(error)) {
        console.error(file.failure(error) + "; nothing was kept");
        return kExitFailure;
    }
    if (recorder.too_large() != 0) {
        console.warning(std::to_string(recorder.too_large()) + " datagrams too large for IPv4 were left out");
    }
    console.line(recorder.line(seconds, settings.file));
    const LossCounts losses = source->losses();
    console.line("datagrams " + format_loss_counts(losses));
    const uint64_t missed = losses.queue_dropped + losses.kernel_dropped;
    if (missed != 0) {
        console.warning("the recording misses " + std::to_string(missed) + " datagrams the sensors sent");
    }
    return code;
}

}  // namespace vorlan_tool
