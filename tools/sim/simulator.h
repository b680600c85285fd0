// Synthetic sensors for `vorlan sim`: four first-generation sensors of
// different families and four second-generation ones look at a yard (ground,
// walls, a few boxes) and send what real ones send: information packets
// with calibration blocks and raw point data packets from the first
// generation, information packets, ready-made points and GPS lines from the
// second, in time order to a PacketSink: a capture file, or UDP datagrams to
// 127.0.0.1.
//
// The output depends only on the options: the same seed gives the same
// bytes run after run. The noise comes from std::mt19937_64 with integer
// arithmetic, so it is the same with every standard library; only a
// platform whose cosine or exponential differs in the last bit could round a
// rare value differently.
//
// Typical use (the sinks are in sim_sinks.h):
//   vorlan_tool::SimulatorOptions options;
//   options.seed = 7;
//   options.seconds = 10.0;
//   vorlan_tool::CaptureFileSink sink("yard.pcap");
//   if (!sink.ok()) { report(sink.error()); }
//   const auto summary = vorlan_tool::run_simulation(options, sink);
//   if (!sink.close()) { report(sink.error()); }
// or, live: vorlan_tool::UdpPacketSink sink(port); run_simulation(options, sink);
#ifndef VORLAN_TOOLS_SIMULATOR_H
#define VORLAN_TOOLS_SIMULATOR_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim_point_sensor.h"
#include "vorlan_sdk.h"

namespace vorlan_tool {

struct SimulatorOptions {
    // Drives the sensors' measurement noise and dropouts.
    uint64_t seed = 1;
    // Simulated time covered, from the first packet; 0 or less sends nothing.
    double seconds = 2.0;
    // Absolute time of the start, µs since 1970 (UTC): packet times and GPS
    // dates follow from it. A fixed instant by default (2024-03-01 12:00:00)
    // so that captures do not depend on the clock; pass the current time for
    // live output if receivers should see current dates. Negative values
    // count as 0.
    int64_t start_time_us = 1'709'294'400'000'000;
    // Also run the second generation's sensors; without them the capture
    // holds only what the first library reads.
    bool second_generation = true;
};

// Receives the simulated datagrams in time order.
class PacketSink {
public:
    virtual ~PacketSink() = default;
    // One UDP payload from the sensor whose IPv4 address (first octet most
    // significant) is the low 32 bits of `handle`, sent at `timestamp_us`
    // (µs since 1970). `data` is valid only during the call. Returning false
    // ends the simulation.
    virtual bool deliver(VorlanSensorHandle handle, int64_t timestamp_us, const uint8_t* data, std::size_t size) = 0;
};

// One simulated sensor, as a receiver should come to know it.
struct SimulatedSensorInfo {
    std::string name;  // family, e.g. "Kiru"
    std::string model_name;  // the model's display name, e.g. "Kiru-D40"
    VorlanSensorHandle handle = 0;
    uint64_t serial_number = 0;
    VorlanSensorModel model = 0;
    // The firmware as the first library reports it: model, major and minor
    // version, "11.0.0".
    std::string firmware;
    std::string info_packet_type;   // "INFO", "INFX" or "INFY"
    std::string calibration_type;   // "VRN8", "VRNA", "VRNB" or "VRND"
    std::vector<uint8_t> calibration_block;  // as the information packets carry it
    std::string point_packet_type;  // "STDT", "STDR", "STDP" or "STDQ"
    uint8_t segment_count = 0;
    uint8_t return_count = 1;       // returns per point the packets carry
    double measurement_period_s = 0.0;  // between successive points
    std::size_t points_per_packet = 0;
    // Seconds between natural frames of the sensor's scan pattern.
    double frame_period_s = 0.0;
};

// The first-generation sensors run_simulation brings up, in handle order.
std::vector<SimulatedSensorInfo> simulated_sensors();
// The second-generation sensors it brings up beside them, in handle order
// (sim_point_fleet.h).
std::vector<PointSensorSetup> simulated_point_sensors();

struct SimulationSummary {
    uint64_t packets = 0;       // datagrams delivered
    uint64_t info_packets = 0;  // of them, information packets
    uint64_t bytes = 0;         // payload bytes delivered
    uint64_t points = 0;        // points in the data packets
    bool completed = true;      // false when the sink ended the run early
};

// Runs the sensors for options.seconds and hands every datagram to `sink`
// on the calling thread. Each sensor announces itself with an information
// packet before its first data packet and again once per second. The first
// generation's packets are the same whether or not the second's run beside
// them.
SimulationSummary run_simulation(const SimulatorOptions& options, PacketSink& sink);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_SIMULATOR_H
