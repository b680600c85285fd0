// A simulator sink that keeps every datagram handed to it, for the tests of
// what the simulator sends.
#ifndef VORLAN_TESTS_TOOLS_RECORDING_SINK_H
#define VORLAN_TESTS_TOOLS_RECORDING_SINK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "simulator.h"

namespace vorlan_tool {

struct SentDatagram {
    VorlanSensorHandle handle = 0;
    int64_t time = 0;  // µs since 1970
    std::vector<uint8_t> bytes;

    // The four-character packet type at `offset` ("STDV"; a prefixed packet
    // has it at 8), or "" where the datagram is shorter.
    std::string type(std::size_t offset = 0) const {
        return bytes.size() < offset + 4 ? "" : std::string(bytes.begin() + offset, bytes.begin() + offset + 4);
    }
    bool is_info() const { return type().compare(0, 3, "INF") == 0; }
};

class RecordingSink : public PacketSink {
public:
    bool deliver(VorlanSensorHandle handle, int64_t time, const uint8_t* data, std::size_t size) override {
        datagrams.push_back({handle, time, std::vector<uint8_t>(data, data + size)});
        return true;
    }
    std::vector<SentDatagram> datagrams;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TESTS_TOOLS_RECORDING_SINK_H
