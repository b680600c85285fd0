#include "sim_sinks.h"

#include <algorithm>
#include <thread>

namespace vorlan_tool {

namespace {

// Waits are cut into slices so that a stop request is seen promptly.
constexpr auto kWaitSlice = std::chrono::milliseconds(50);

// A loopback address carrying the last three octets of `address`.
uint32_t loopback_for(uint32_t address) { return (127u << 24) | (address & 0x00FFFFFFu); }

}  // namespace

uint32_t UdpPacketSink::source_address(uint32_t sensor_address) { return loopback_for(sensor_address); }

// ---- Capture file ------------------------------------------------------------------

CaptureFileSink::CaptureFileSink(const std::string& filename) {
    if (!m_writer.open(filename)) {
        m_error = m_writer.error();
    }
}

CaptureFileSink::~CaptureFileSink() { close(); }

bool CaptureFileSink::deliver(VorlanSensorHandle handle, int64_t timestamp_us, const uint8_t* data,
                              std::size_t size) {
    if (!ok()) {
        return false;
    }
    UdpAddressing addressing;
    addressing.source = static_cast<uint32_t>(handle);
    addressing.identification = m_identifications[addressing.source]++;
    const std::size_t n_frames = udp_ethernet_frames(addressing, data, size, kEthernetMtu, m_frames);
    if (n_frames == 0) {
        m_error = "cannot write the capture: a datagram of " + std::to_string(size) + " bytes is too long for IPv4";
        return false;
    }
    for (std::size_t i = 0; i < n_frames; ++i) {
        if (!m_writer.write(timestamp_us, m_frames[i].data(), m_frames[i].size())) {
            m_error = m_writer.error();
            return false;
        }
    }
    return true;
}

bool CaptureFileSink::close() {
    if (!m_writer.close() && ok()) {
        m_error = m_writer.error();
    }
    return ok();
}

// ---- UDP ---------------------------------------------------------------------------

UdpPacketSink::UdpPacketSink(uint16_t port, double speed)
    : m_destination(asio::ip::address_v4::loopback(), port),
      m_default_socket(m_io),
      m_speed(speed > 0.0 ? speed : 0.0) {
    asio::error_code error;
    m_default_socket.open(asio::ip::udp::v4(), error);
    if (error) {
        m_error = "cannot open a UDP socket: " + error.message();
    }
}

UdpPacketSink::~UdpPacketSink() {
    asio::error_code ignored;
    for (auto& entry : m_sockets) {
        entry.second->close(ignored);
    }
    m_default_socket.close(ignored);
}

asio::ip::udp::socket& UdpPacketSink::socket_for(uint32_t address) {
    const auto found = m_sockets.find(address);
    if (found != m_sockets.end()) {
        return found->second ? *found->second : m_default_socket;
    }
    auto socket = std::make_unique<asio::ip::udp::socket>(m_io);
    asio::error_code error;
    socket->open(asio::ip::udp::v4(), error);
    if (!error) {
        socket->bind(asio::ip::udp::endpoint(asio::ip::address_v4(loopback_for(address)), 0), error);
    }
    if (error) {
        // Only 127.0.0.1 is configured here: all sensors share it.
        m_distinct_sources = false;
        m_sockets.emplace(address, nullptr);
        return m_default_socket;
    }
    return *m_sockets.emplace(address, std::move(socket)).first->second;
}

bool UdpPacketSink::wait_until_due(int64_t timestamp_us) {
    if (!m_started) {
        m_started = true;
        m_first_timestamp = timestamp_us;
        m_start_clock = std::chrono::steady_clock::now();
    }
    if (m_speed > 0.0) {
        const double offset_us = static_cast<double>(timestamp_us - m_first_timestamp) / m_speed;
        const auto due = m_start_clock + std::chrono::microseconds(static_cast<int64_t>(offset_us));
        for (auto now = std::chrono::steady_clock::now(); now < due && !m_stop.load();
             now = std::chrono::steady_clock::now()) {
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(due - now, kWaitSlice));
        }
    }
    return !m_stop.load();
}

bool UdpPacketSink::deliver(VorlanSensorHandle handle, int64_t timestamp_us, const uint8_t* data,
                            std::size_t size) {
    if (!ok() || !wait_until_due(timestamp_us)) {
        return false;
    }
    asio::error_code error;
    socket_for(static_cast<uint32_t>(handle)).send_to(asio::buffer(data, size), m_destination, 0, error);
    if (error) {
        ++m_send_failures;
    }
    return true;
}

}  // namespace vorlan_tool
