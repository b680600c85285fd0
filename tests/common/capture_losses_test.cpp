// What reading leaves out is counted and told: copies of sensor datagrams,
// fragments that cannot make a whole datagram without mixing two, and what
// a capture without sensor traffic holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture_reader.h"
#include "capture_report.h"
#include "support/capture_builder.h"

namespace {

using namespace vorlan_test;
using vorlan_capture::CaptureReader;
using vorlan_capture::HeaderStatus;

constexpr int64_t kStart = 1700000000LL * 1000000;
constexpr uint32_t kSensorA = ipv4(192, 168, 1, 10);
constexpr uint32_t kSensorB = ipv4(10, 0, 0, 7);

Bytes sensor_payload(uint8_t seed, std::size_t size = 200) {
    Bytes payload = test_payload(size, seed);
    payload[0] = 'S', payload[1] = 'T', payload[2] = 'D', payload[3] = 'V';
    return payload;
}

struct Reading {
    std::vector<Bytes> payloads;
    vorlan_capture::SkipCounters counters;
    vorlan_capture::Traffic traffic;
};

Reading read_all(const CaptureBuilder& capture, bool drop_duplicates = true) {
    TemporaryDirectory dir;
    capture.write(dir.file("c.pcap"));
    CaptureReader reader;
    reader.set_drop_duplicates(drop_duplicates);
    EXPECT_EQ(reader.open(dir.file("c.pcap")), HeaderStatus::ok);
    Reading reading;
    vorlan_capture::Datagram datagram;
    while (reader.next(datagram)) {
        reading.payloads.emplace_back(datagram.payload, datagram.payload + datagram.size);
    }
    reading.counters = reader.counters();
    reading.traffic = reader.traffic();
    return reading;
}

FrameOptions from(uint32_t source, uint16_t identification = 0) {
    FrameOptions options;
    options.source = source;
    options.identification = identification;
    return options;
}

// A sensor datagram is a copy when the same source sent the same payload at
// most 20 ms before or after; other traffic repeats freely.
TEST(CaptureLosses, CopiesOfSensorDatagramsAreDroppedAndCounted) {
    FrameOptions dns = from(kSensorA);
    dns.destination_port = 5353;
    struct Case {
        const char* name;
        uint32_t second_source;
        int64_t second_after;
        Bytes first;
        Bytes second;
        std::size_t delivered;
    };
    const Case cases[] = {
        {"routed copy 3 us later", kSensorA, 3, sensor_payload(1), sensor_payload(1), 1},
        {"copy 20 ms later", kSensorA, 20000, sensor_payload(1), sensor_payload(1), 1},
        {"same payload 21 ms later", kSensorA, 21000, sensor_payload(1), sensor_payload(1), 2},
        {"copy stamped earlier (merged captures)", kSensorA, -5000, sensor_payload(1), sensor_payload(1), 1},
        {"same payload from another sensor", kSensorB, 3, sensor_payload(1), sensor_payload(1), 2},
        {"one byte differs", kSensorA, 3, sensor_payload(1), sensor_payload(2), 2},
        {"same size, other tail", kSensorA, 3, sensor_payload(1, 201),
         [] { Bytes b = sensor_payload(1, 201); b[200] ^= 1; return b; }(), 2},
        {"repeated non-sensor payload", kSensorA, 3, test_payload(60, 9), test_payload(60, 9), 2},
        {"copy of a point packet behind an 8-byte prefix", kSensorA, 3,
         [] { Bytes b = test_payload(200, 4); b[8] = 'S', b[9] = 'T', b[10] = 'A', b[11] = '0'; return b; }(),
         [] { Bytes b = test_payload(200, 4); b[8] = 'S', b[9] = 'T', b[10] = 'A', b[11] = '0'; return b; }(), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureBuilder capture;
        capture.udp(kStart + 100000, kSensorA, c.first);
        capture.udp(kStart + 100000 + c.second_after, c.second_source, c.second);
        const Reading dropped = read_all(capture);
        EXPECT_EQ(dropped.payloads.size(), c.delivered);
        EXPECT_EQ(dropped.counters.duplicates, 2 - c.delivered);
        const Reading kept = read_all(capture, false);
        EXPECT_EQ(kept.payloads.size(), 2u);
        EXPECT_EQ(kept.counters.duplicates, 0u);
    }
}

// A mirror port doubling a whole stream: every copy goes, in a long capture
// whose windows of 20 ms follow each other.
TEST(CaptureLosses, DoubledStreamComesOutOnce) {
    CaptureBuilder capture;
    for (int i = 0; i < 5000; ++i) {
        const Bytes payload = sensor_payload(uint8_t(i), 100 + std::size_t(i % 700));
        capture.udp(kStart + i * 100, kSensorA, payload);
        capture.udp(kStart + i * 100 + 3, kSensorA, payload);
    }
    const Reading reading = read_all(capture);
    EXPECT_EQ(reading.payloads.size(), 5000u);
    EXPECT_EQ(reading.counters.duplicates, 5000u);
    EXPECT_EQ(reading.traffic.sensor_datagrams, 5000u);

    // A burst of 3,000 datagrams within one window, then all their copies:
    // the filter grows to hold the burst and forgets none of it.
    CaptureBuilder burst;
    for (int copy = 0; copy < 2; ++copy) {
        for (int i = 0; i < 3000; ++i) {
            Bytes payload = sensor_payload(0, 64);
            payload[8] = uint8_t(i), payload[9] = uint8_t(i >> 8);
            burst.udp(kStart + copy * 10000 + i, kSensorB, payload);
        }
    }
    const Reading burst_reading = read_all(burst);
    EXPECT_EQ(burst_reading.payloads.size(), 3000u);
    EXPECT_EQ(burst_reading.counters.duplicates, 3000u);
}

// One sensor reusing identification 0 while fragments get lost: nothing
// that came out is made of two datagrams, and what was lost is counted.
TEST(CaptureLosses, FragmentsOfDifferentDatagramsAreNeverJoined) {
    const Bytes a = sensor_payload(1, 3000);
    const Bytes b = sensor_payload(2, 3000);
    const auto fa = udp_fragments(from(kSensorA), a, 1480);
    const auto fb = udp_fragments(from(kSensorA), b, 1480);
    struct Case {
        const char* name;
        std::vector<Bytes> frames;
        std::vector<Bytes> expected;
        uint64_t incomplete;
    };
    // udp_fragments leaves the UDP checksum 0; the datagram then carries
    // none, and only the fragments' places can tell.
    auto with_checksum = [](std::vector<Bytes> frames, const Bytes& payload) {
        // A checksum that holds for the whole datagram, set in the first fragment.
        uint32_t sum = (kSensorA >> 16) + (kSensorA & 0xffff) + 0xffff + 0xffff + 17 + uint32_t(payload.size() + 8);
        Bytes udp = udp_datagram(from(kSensorA), payload);
        for (std::size_t i = 0; i + 1 < udp.size(); i += 2) {
            sum += uint32_t(udp[i] << 8 | udp[i + 1]);
        }
        if (udp.size() % 2 == 1) {
            sum += uint32_t(udp.back() << 8);
        }
        while (sum >> 16) {
            sum = (sum & 0xffff) + (sum >> 16);
        }
        const uint16_t checksum = uint16_t(~sum);
        frames[0][14 + 20 + 6] = uint8_t(checksum >> 8);
        frames[0][14 + 20 + 7] = uint8_t(checksum);
        return frames;
    };
    const auto ca = with_checksum(fa, a);
    const auto cb = with_checksum(fb, b);
    const Case cases[] = {
        {"whole, with checksum", {ca[0], ca[1], ca[2]}, {a}, 0},
        {"last lost, then the next datagram", {fa[0], fa[1], fb[0], fb[1], fb[2]}, {b}, 2},
        {"middle lost, then the next datagram", {fa[0], fa[2], fb[0], fb[1], fb[2]}, {b}, 2},
        {"first lost: the next first fragment fits, the checksum tells", {ca[1], ca[2], cb[0]}, {}, 3},
        {"first lost: an overlapping fragment ends the mix", {fa[1], fb[0], fb[1], fb[2]}, {}, 4},
        {"a fragment seen twice", {fa[0], fa[1], fa[1], fa[2]}, {a}, 0},
        // A mirror port: the last copy comes after the datagram is whole.
        {"every fragment seen twice in a row", {fa[0], fa[0], fa[1], fa[1], fa[2], fa[2]}, {a}, 0},
        {"a late copy of the middle fragment", {fa[0], fa[1], fa[2], fa[1]}, {a}, 0},
        {"after a whole datagram, a lone fragment of another", {fa[0], fa[1], fa[2], fb[1]}, {a}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureBuilder capture;
        int64_t time = kStart;
        for (const Bytes& frame : c.frames) {
            capture.record(time++, frame);
        }
        const Reading reading = read_all(capture);
        EXPECT_EQ(reading.payloads, c.expected);
        EXPECT_EQ(reading.counters.incomplete, c.incomplete);
    }
}

// The words both libraries report with.
TEST(CaptureLosses, ReportsSayWhatWasLeftOutAndWhatACaptureHolds) {
    vorlan_capture::SkipCounters none;
    vorlan_capture::SkipCounters lossy;
    lossy.duplicates = 1234;
    lossy.snapshot_cut = 40;
    lossy.incomplete = 1;
    lossy.not_udp = 7;
    EXPECT_EQ(vorlan_capture::describe_losses(none), "");
    EXPECT_EQ(vorlan_capture::describe_losses(lossy),
              "1,234 duplicated sensor datagrams dropped, 40 records cut by the snapshot length, "
              "1 record of datagrams that could not be reassembled");

    CaptureBuilder noise;
    for (uint16_t port : {53, 123, 5353, 123}) {
        FrameOptions options = from(kSensorA);
        options.destination_port = port;
        noise.record(kStart + port, udp_frame(options, test_payload(30, 1)));
    }
    FrameOptions sensor = from(kSensorA);
    noise.record_snapshot(kStart + 9000, udp_frame(sensor, sensor_payload(3, 1000)), 200);
    const Reading reading = read_all(noise);
    EXPECT_EQ(reading.traffic.sensor_datagrams, 0u);
    EXPECT_EQ(vorlan_capture::describe_holdings(reading.traffic, reading.counters),
              "4 UDP datagrams to ports 53, 123, 5353; none from a sensor (1 record cut by the snapshot length)");
    EXPECT_EQ(vorlan_capture::describe_holdings(vorlan_capture::Traffic(), lossy),
              "no UDP datagram (40 records cut by the snapshot length, 7 records not IPv4/UDP, "
              "1 record of datagrams that could not be reassembled)");
}

}  // namespace
