// Where the simulator's datagrams go: a capture file, or UDP datagrams to a
// port on 127.0.0.1 paced like the sensors would send them.
#ifndef VORLAN_TOOLS_SIM_SINKS_H
#define VORLAN_TOOLS_SIM_SINKS_H

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "capture_writer.h"
#include "simulator.h"

namespace vorlan_tool {

// Writes every datagram into a capture file, from the sensor's address, at
// the datagram's time, as a sensor puts it on a 1,500-byte Ethernet: larger
// datagrams leave as IPv4 fragments, each in a record of its own, and every
// IPv4 header is one a network carries (checksum, time to live 64).
class CaptureFileSink : public PacketSink {
public:
    // Creates (or replaces) `filename`; ok() tells whether that worked.
    explicit CaptureFileSink(const std::string& filename);
    ~CaptureFileSink() override;

    bool ok() const { return m_error.empty(); }
    // Why the file could not be opened or written; empty while all is well.
    const std::string& error() const { return m_error; }

    // False once a write failed.
    bool deliver(VorlanSensorHandle handle, int64_t timestamp_us, const uint8_t* data, std::size_t size) override;
    // Flushes and closes the file; false when anything failed on the way.
    bool close();

private:
    CaptureWriter m_writer;
    // The next IPv4 identification of each sensor.
    std::map<uint32_t, uint16_t> m_identifications;
    std::vector<std::vector<uint8_t>> m_frames;
    std::string m_error;
};

// Sends every datagram to 127.0.0.1:port. With `speed` 1 a datagram leaves
// when its time, counted from the first one, has passed on the steady clock
// (speed 2 is twice as fast; 0 sends at once). Each sensor sends from its own
// loopback address 127.b.c.d, taken from the last three octets of its
// address, so that receivers tell the sensors apart as they would on a real
// network; where the system refuses such an address the datagrams leave from
// 127.0.0.1.
class UdpPacketSink : public PacketSink {
public:
    // The loopback address a sensor's datagrams leave from: 127 and the last
    // three octets of its own (192.168.1.201 sends from 127.168.1.201).
    static uint32_t source_address(uint32_t sensor_address);

    explicit UdpPacketSink(uint16_t port, double speed = 1.0);
    ~UdpPacketSink() override;

    bool ok() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }

    // False after request_stop(). A datagram the system would not send is
    // counted and skipped.
    bool deliver(VorlanSensorHandle handle, int64_t timestamp_us, const uint8_t* data, std::size_t size) override;

    // Makes a waiting or later deliver() return false. Safe from any thread
    // and from a signal handler.
    void request_stop() { m_stop.store(true); }

    uint64_t send_failures() const { return m_send_failures; }
    // True when every sensor so far got a loopback address of its own.
    bool distinct_sources() const { return m_distinct_sources; }

private:
    // The socket that sends as `address`, made on first use.
    asio::ip::udp::socket& socket_for(uint32_t address);
    // Sleeps until `timestamp_us` is due; false when stopped meanwhile.
    bool wait_until_due(int64_t timestamp_us);

    asio::io_context m_io;
    asio::ip::udp::endpoint m_destination;
    asio::ip::udp::socket m_default_socket;
    std::map<uint32_t, std::unique_ptr<asio::ip::udp::socket>> m_sockets;
    double m_speed;
    bool m_started = false;
    int64_t m_first_timestamp = 0;
    std::chrono::steady_clock::time_point m_start_clock;
    std::atomic<bool> m_stop{false};
    uint64_t m_send_failures = 0;
    bool m_distinct_sources = true;
    std::string m_error;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_SIM_SINKS_H
