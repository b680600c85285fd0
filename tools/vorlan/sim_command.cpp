// `vorlan sim`: synthetic sensors into a capture file or onto a UDP port.
#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "commands.h"
#include "frame_summary.h"
#include "output_file.h"
#include "replacing_file.h"
#include "sim_point_fleet.h"
#include "sim_sinks.h"
#include "simulator.h"
#include "stop_signal.h"

namespace vorlan_tool {
namespace {

// Hands the datagrams on until a stop is requested, and shows how far the
// run has come.
class WatchedSink : public PacketSink {
public:
    WatchedSink(PacketSink& inner, Console& console, int64_t start_us, double seconds)
        : m_inner(inner), m_console(console), m_start_us(start_us), m_seconds(seconds) {}

    bool deliver(VorlanSensorHandle handle, int64_t timestamp_us, const uint8_t* data, std::size_t size) override {
        if (stop_requested()) {
            return false;
        }
        if (m_console.shows_progress()) {
            const double elapsed = static_cast<double>(timestamp_us - m_start_us) * 1e-6;
            char label[48];
            std::snprintf(label, sizeof(label), "%.1f/%.1f s", elapsed, m_seconds);
            m_console.progress(elapsed / m_seconds, label);
        }
        return m_inner.deliver(handle, timestamp_us, data, size);
    }

private:
    PacketSink& m_inner;
    Console& m_console;
    const int64_t m_start_us;
    const double m_seconds;
};

// Each sensor as replay and listen will name it: the address its datagrams
// carry, its serial number, the model's display name, its firmware in the
// form its library gives it and its channel count (a first-generation
// sensor's segments, which replay and check call channels too). The first
// library keeps one return per measurement unless asked for both, and the
// second knows channel counts only by model code, so where the receiving
// side prints less than the sensor has, the line says both.
void print_sensors(Console& console, bool live) {
    for (const SimulatedSensorInfo& sensor : simulated_sensors()) {
        const uint32_t address = static_cast<uint32_t>(sensor.handle);
        const VorlanSensorHandle sender = live ? UdpPacketSink::source_address(address) : address;
        char line[240];
        std::snprintf(line, sizeof(line),
                      "simulated sensor %s  %s (model %u)  firmware %s  %s/%s  %s  channels %u  returns 1%s",
                      format_sensor_name(sender, sensor.serial_number).c_str(), sensor.model_name.c_str(),
                      static_cast<unsigned>(sensor.model), sensor.firmware.c_str(), sensor.info_packet_type.c_str(),
                      sensor.calibration_type.c_str(), sensor.point_packet_type.c_str(),
                      static_cast<unsigned>(sensor.segment_count),
                      sensor.return_count > 1 ? " (sends 2; --multiple-returns keeps both)" : "");
        console.line(line);
    }
    for (const PointSensorSetup& sensor : simulated_point_sensors()) {
        const VorlanSensorHandle sender = live ? UdpPacketSink::source_address(sensor.address) : sensor.address;
        const int reported = receiver_channel_count(sensor.model);
        char channels[80];
        if (reported == sensor.channels) {
            std::snprintf(channels, sizeof(channels), "channels %d", reported);
        } else {
            std::snprintf(channels, sizeof(channels), "channels %d (has %d; its model code gives no count)", reported,
                          sensor.channels);
        }
        const uint8_t* firmware = sensor.firmware_version;
        char line[280];
        std::snprintf(line, sizeof(line),
                      "simulated sensor %s  %s (model %u)  firmware %u.%u.%u.%u  INFZ-%" PRIu32 "%s/%s  %s  %s",
                      format_sensor_name(sender, sensor.serial_number).c_str(), sensor.model_name.c_str(),
                      static_cast<unsigned>(sensor.model), firmware[0], firmware[1], firmware[2], firmware[3],
                      sensor.info_layout, sensor.prefixed_info ? "+prefixed" : "",
                      sensor.packets == PointPacketKind::sta0 ? "STA0+prefixed" : "STDV", channels,
                      sensor.sync == ClockSync::gps   ? "GPS clock, NMEA lines"
                      : sensor.sync == ClockSync::ptp ? "PTP clock"
                                                      : "free clock");
        console.line(line);
    }
}

std::string describe(const SimulationSummary& summary) {
    char text[160];
    std::snprintf(text, sizeof(text),
                  "%" PRIu64 " packets (%" PRIu64 " information), %" PRIu64 " bytes, %" PRIu64 " points",
                  summary.packets, summary.info_packets, summary.bytes, summary.points);
    return text;
}

// Writes under a temporary name and renames at the end, so that a run that
// fails or is killed never leaves a half-written capture under the name asked
// for (make demo keeps the sample once it exists).
int simulate_into_file(const SimSettings& settings, Console& console) {
    SimulatorOptions options;
    options.seed = settings.seed;
    options.seconds = settings.seconds;
    if (!check_output_file(settings.out, settings.force, console)) {
        return kExitFailure;
    }
    ReplacingFile file(settings.out);
    std::string error;
    if (!file.create(error)) {
        console.error(file.failure(error));
        return kExitFailure;
    }
    SimulationSummary summary;
    {
        CaptureFileSink sink_file(file.temporary());
        if (!sink_file.ok()) {
            console.error(file.failure(sink_file.error()));
            return kExitFailure;
        }
        print_sensors(console, false);
        WatchedSink sink(sink_file, console, options.start_time_us, options.seconds);
        summary = run_simulation(options, sink);
        console.end_progress();
        if (!sink_file.close()) {
            console.error(file.failure(sink_file.error()));
            return kExitFailure;
        }
    }
    if (!file.commit(error)) {
        console.error(file.failure(error));
        return kExitFailure;
    }
    console.line("wrote " + describe(summary) + " to " + settings.out);
    if (!summary.completed) {
        console.line("interrupted: the capture ends there");
    }
    return kExitSuccess;
}

int simulate_onto_port(const SimSettings& settings, Console& console) {
    SimulatorOptions options;
    options.seed = settings.seed;
    options.seconds = settings.seconds;
    // Live receivers see the dates of today, as from real sensors.
    options.start_time_us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    UdpPacketSink udp(settings.port);
    if (!udp.ok()) {
        console.error(udp.error());
        return kExitFailure;
    }
    print_sensors(console, udp.distinct_sources());
    console.line("sending to 127.0.0.1:" + std::to_string(settings.port) + " in real time (Ctrl-C stops)");
    WatchedSink sink(udp, console, options.start_time_us, options.seconds);
    const SimulationSummary summary = run_simulation(options, sink);
    console.end_progress();
    if (!udp.distinct_sources()) {
        console.warning("the system refused per-sensor loopback addresses: every sensor sent from 127.0.0.1");
    }
    if (udp.send_failures() != 0) {
        console.warning(std::to_string(udp.send_failures()) + " datagrams could not be sent");
    }
    console.line("sent " + describe(summary));
    if (!summary.completed) {
        console.line("interrupted");
    }
    return kExitSuccess;
}

}  // namespace

int run_sim(const SimSettings& settings, Console& console) {
    return settings.out.empty() ? simulate_onto_port(settings, console) : simulate_into_file(settings, console);
}

}  // namespace vorlan_tool
