// Every form a capture comes in, and every wrapping sensor traffic arrives
// in, gives the datagrams of the plain capture of the same traffic.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture_reader.h"
#include "common/received_datagram.h"
#include "support/capture_builder.h"
#include "support/capture_forms.h"

namespace {

using namespace vorlan_test;
using vorlan_capture::CaptureReader;
using vorlan_capture::HeaderStatus;

constexpr int64_t kStart = 1700000000LL * 1000000;
constexpr uint32_t kSensorA = ipv4(192, 168, 1, 10);
constexpr uint32_t kSensorB = ipv4(10, 0, 0, 7);


std::vector<Received> read_all(const std::string& path, vorlan_capture::SkipCounters* counters = nullptr,
                               std::vector<int64_t>* offsets = nullptr) {
    CaptureReader reader;
    EXPECT_EQ(reader.open(path), HeaderStatus::ok);
    std::vector<Received> datagrams;
    vorlan_capture::Datagram datagram;
    for (int64_t at = reader.next_offset(); reader.next(datagram); at = reader.next_offset()) {
        datagrams.push_back(received(datagram));
        if (offsets != nullptr) {
            offsets->push_back(at);
        }
    }
    EXPECT_EQ(reader.end().kind, CaptureReader::End::clean);
    if (counters != nullptr) {
        *counters = reader.counters();
    }
    return datagrams;
}

// Traffic of two sensors: small and fragmented datagrams, VLAN tags, a
// padded frame, and a record that is not UDP.
Bytes mixed_traffic() {
    CaptureBuilder capture;
    FrameOptions a;
    a.source = kSensorA;
    FrameOptions b;
    b.source = kSensorB;
    b.vlan = 5;
    for (int i = 0; i < 12; ++i) {
        capture.record(kStart + i * 1000, udp_frame(a, test_payload(100 + std::size_t(i), uint8_t(i))));
        b.identification = uint16_t(i);
        for (const Bytes& frame : udp_fragments(b, test_payload(3000, uint8_t(40 + i)), 1480)) {
            capture.record(kStart + i * 1000 + 250, frame);
        }
    }
    FrameOptions tcp = a;
    tcp.protocol = 6;
    tcp.padding = 6;
    capture.record(kStart + 20000, udp_frame(tcp, test_payload(10, 0)));
    return capture.bytes();
}

// Each form reads as the classic capture does; the reader can go back to
// where any datagram started and read it again.
TEST(CaptureForms, EveryFormGivesTheDatagramsOfTheClassicCapture) {
    TemporaryDirectory dir;
    const Bytes classic = mixed_traffic();
    write_file(dir.file("classic.pcap"), classic);
    const std::vector<Received> expected = read_all(dir.file("classic.pcap"));
    ASSERT_EQ(expected.size(), 24u);
    for (CaptureForm form : all_capture_forms()) {
        SCOPED_TRACE(form_name(form));
        const std::string path = dir.file(std::string(form_name(form)) + ".cap");
        write_file(path, reform(classic, form));
        vorlan_capture::SkipCounters counters;
        std::vector<int64_t> offsets;
        EXPECT_EQ(read_all(path, &counters, &offsets), expected);
        EXPECT_EQ(counters.not_udp, 1u);
        EXPECT_EQ(counters.total(), 1u);

        // Back to a single datagram (the first of its record) by the offset
        // of the record reading started from.
        CaptureReader reader;
        ASSERT_EQ(reader.open(path), HeaderStatus::ok);
        vorlan_capture::Datagram datagram;
        for (std::size_t i : {std::size_t(20), std::size_t(0), std::size_t(6)}) {
            if (i % 2 == 1) {
                continue;  // fragmented datagrams start at their first fragment's record
            }
            reader.seek(offsets[i]);
            ASSERT_TRUE(reader.next(datagram));
            EXPECT_EQ(Bytes(datagram.payload, datagram.payload + datagram.size), expected[i].payload);
            EXPECT_EQ(datagram.time, expected[i].time);
        }
    }
}

// A pcapng file whose interfaces differ in snapshot length: records of the
// short one are counted as cut, the others read; a simple packet block is
// cut to its interface's snapshot length.
TEST(CaptureForms, PcapngInterfacesKeepTheirOwnSnapshotLength) {
    FrameOptions a;
    a.source = kSensorA;
    const Bytes frame = udp_frame(a, test_payload(900, 3));
    PcapngBuilder pcapng;
    pcapng.section().interface(1, 262144).interface(1, 200);
    pcapng.packet(0, uint64_t(kStart), frame);
    pcapng.packet(1, uint64_t(kStart + 1), Bytes(frame.begin(), frame.begin() + 200), uint32_t(frame.size()));
    pcapng.packet(0, uint64_t(kStart + 2), frame);
    PcapngBuilder simple;
    simple.section().interface(1, 300).simple_packet(frame);
    simple.section().interface(1, 0).simple_packet(frame);
    TemporaryDirectory dir;
    write_file(dir.file("two.pcapng"), pcapng.bytes());
    write_file(dir.file("simple.pcapng"), simple.bytes());
    vorlan_capture::SkipCounters counters;
    const std::vector<Received> datagrams = read_all(dir.file("two.pcapng"), &counters);
    ASSERT_EQ(datagrams.size(), 2u);
    EXPECT_EQ(datagrams[1].time, kStart + 2);
    EXPECT_EQ(counters.snapshot_cut, 1u);
    EXPECT_EQ(read_all(dir.file("simple.pcapng"), &counters).size(), 1u);
    EXPECT_EQ(counters.snapshot_cut, 1u);
}

// A packet block's 64-bit tick count can name a time beyond any date (a
// damaged or hostile file); such a time is taken as none, and the record
// keeps the time of the one before, so that times and their differences stay
// within 64 bits for every reader of the capture. Times within range,
// offsets included, read as they are.
TEST(CaptureForms, PcapngTimesBeyondAnyDateTakeThePreviousRecordsTime) {
    FrameOptions a;
    a.source = kSensorA;
    const Bytes frame = udp_frame(a, test_payload(64, 1));
    constexpr int64_t kFarOffset = -(int64_t(1) << 39);  // seconds, within the offsets read
    struct Case {
        const char* name;
        int resolution;
        int64_t offset_seconds;
        uint64_t ticks;   // of the middle record
        int64_t expected; // its time in µs
    };
    const Case cases[] = {
        {"microseconds, the largest count", -1, 0, UINT64_MAX, kStart},
        {"microseconds, just beyond", -1, 0, (uint64_t(1) << 40) * 1000000, kStart},
        {"microseconds, just within", -1, 0, (uint64_t(1) << 40) * 1000000 - 1,
         int64_t((uint64_t(1) << 40) * 1000000 - 1)},
        {"nanoseconds, the largest count is a date", 9, 0, UINT64_MAX, int64_t(UINT64_MAX / 1000)},
        {"seconds, beyond", 0, 0, uint64_t(1) << 41, kStart},
        {"far offset, the largest count", -1, kFarOffset, UINT64_MAX, kStart},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The first and last records are at kStart and kStart + 2 ms in the
        // interface's own units and offset.
        uint64_t units = 1000000;
        if (c.resolution >= 0) {
            units = 1;
            for (int i = 0; i < c.resolution; ++i) {
                units *= 10;
            }
        }
        const auto ticks_of = [&](int64_t us) {
            const int64_t local = us - c.offset_seconds * 1000000;
            return uint64_t(local / 1000000) * units + uint64_t(local % 1000000) * units / 1000000;
        };
        PcapngBuilder pcapng;
        pcapng.section().interface(1, 262144, c.resolution, c.offset_seconds);
        pcapng.packet(0, ticks_of(kStart), frame);
        pcapng.packet(0, c.ticks, frame);
        pcapng.packet(0, ticks_of(kStart + 2000000), frame);
        TemporaryDirectory dir;
        write_file(dir.file("times.pcapng"), pcapng.bytes());
        const std::vector<Received> datagrams = read_all(dir.file("times.pcapng"));
        ASSERT_EQ(datagrams.size(), 3u);
        EXPECT_EQ(datagrams[0].time, kStart);
        EXPECT_EQ(datagrams[1].time, c.expected);
        EXPECT_EQ(datagrams[2].time, kStart + 2000000);
    }
}

// Files that are no capture, or whose pcapng framing is damaged, are told
// apart; a pcapng file cut inside a packet block ends where it is cut.
TEST(CaptureForms, DamagedPcapngEndsWhereTheDamageIs) {
    FrameOptions a;
    a.source = kSensorA;
    PcapngBuilder good;
    good.section().interface(1);
    for (int i = 0; i < 3; ++i) {
        good.packet(0, uint64_t(kStart + i), udp_frame(a, test_payload(50, uint8_t(i))));
    }
    const Bytes& bytes = good.bytes();
    const std::size_t last = bytes.size() - (32 + 92);  // framing and fixed fields, and a 92-byte frame
    Bytes odd_length = bytes;
    odd_length[last + 4] += 1;  // no longer whole words
    Bytes wrong_interface = bytes;
    wrong_interface[last + 8] = 7;
    Bytes bad_order = bytes;
    bad_order[8] = 0x11;
    struct Case {
        const char* name;
        Bytes bytes;
        HeaderStatus status;
        std::size_t datagrams;
        CaptureReader::End::Kind end;
    };
    const Case cases[] = {
        {"whole", bytes, HeaderStatus::ok, 3, CaptureReader::End::clean},
        {"cut inside the last block", Bytes(bytes.begin(), bytes.end() - 10), HeaderStatus::ok, 2,
         CaptureReader::End::cut},
        {"cut inside the last block's header", Bytes(bytes.begin(), bytes.begin() + long(last) + 10), HeaderStatus::ok, 2,
         CaptureReader::End::cut},
        {"block length not in whole words", odd_length, HeaderStatus::ok, 2, CaptureReader::End::cut},
        {"interface never described", wrong_interface, HeaderStatus::ok, 2, CaptureReader::End::clean},
        {"unknown byte-order mark", bad_order, HeaderStatus::unknown_magic, 0, CaptureReader::End::none},
        {"section header only, cut", Bytes(bytes.begin(), bytes.begin() + 20), HeaderStatus::too_short, 0,
         CaptureReader::End::none},
    };
    ASSERT_EQ(bytes.size() % 4, 0u);
    TemporaryDirectory dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir.file("f"), c.bytes);
        CaptureReader reader;
        ASSERT_EQ(reader.open(dir.file("f")), c.status);
        std::size_t n = 0;
        vorlan_capture::Datagram datagram;
        while (reader.next(datagram)) {
            ++n;
        }
        EXPECT_EQ(n, c.datagrams);
        EXPECT_EQ(reader.end().kind, c.end);
    }
}

// The ways sensor traffic arrives wrapped: stacked VLAN tags of every TPID,
// the OpenBSD loopback, and mirror tunnels. Each gives the datagram inside.
TEST(CaptureForms, WrappedTrafficGivesTheDatagramInside) {
    FrameOptions raw;
    raw.link = LinkLayer::raw_ipv4;
    raw.source = kSensorA;
    const Bytes payload = test_payload(400, 7);
    const Bytes ip = udp_frame(raw, payload);
    auto ethernet = [&](std::vector<uint16_t> tags) {
        Bytes frame(12, 0);
        frame[6] = 0x02;
        for (uint16_t tpid : tags) {
            frame.insert(frame.end(), {uint8_t(tpid >> 8), uint8_t(tpid), 0x00, 0x07});
        }
        frame.insert(frame.end(), {0x08, 0x00});
        frame.insert(frame.end(), ip.begin(), ip.end());
        return frame;
    };
    const Bytes inner = ethernet({});
    auto concat = [](Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    // A tunnel packet from the mirroring switch to the collector.
    auto tunnel = [&](uint8_t protocol, const Bytes& inside) {
        FrameOptions outer;
        outer.source = ipv4(172, 16, 0, 1);
        outer.protocol = protocol;
        return ipv4_frame(outer, inside);
    };
    auto vxlan = [&](const Bytes& frame) {
        FrameOptions outer;
        outer.source = ipv4(172, 16, 0, 1);
        outer.destination_port = 4789;
        return udp_frame(outer, concat({0x08, 0, 0, 0, 0, 0, 0x2a, 0}, frame));
    };
    struct Case {
        const char* name;
        LinkLayer link;
        Bytes frame;
    };
    const Case cases[] = {
        {"802.1ad then 802.1Q", LinkLayer::ethernet, ethernet({0x88a8, 0x8100})},
        {"0x9100 then 802.1Q", LinkLayer::ethernet, ethernet({0x9100, 0x8100})},
        {"0x9200", LinkLayer::ethernet, ethernet({0x9200})},
        {"three tags", LinkLayer::ethernet, ethernet({0x88a8, 0x8100, 0x8100})},
        {"OpenBSD loopback", LinkLayer(108), concat({0, 0, 0, 2}, ip)},
        {"VXLAN", LinkLayer::ethernet, vxlan(inner)},
        {"VXLAN of a tagged frame", LinkLayer::ethernet, vxlan(ethernet({0x8100}))},
        {"GRE of IPv4", LinkLayer::ethernet, tunnel(47, concat({0, 0, 0x08, 0x00}, ip))},
        {"GRE with key and sequence of Ethernet", LinkLayer::ethernet,
         tunnel(47, concat({0x30, 0, 0x65, 0x58, 0, 0, 0, 1, 0, 0, 0, 9}, inner))},
        {"ERSPAN type I", LinkLayer::ethernet, tunnel(47, concat({0, 0, 0x88, 0xbe}, inner))},
        {"ERSPAN type II", LinkLayer::ethernet,
         tunnel(47, concat({0x10, 0, 0x88, 0xbe, 0, 0, 0, 3, 0x10, 0x01, 0, 0, 0, 0, 0, 0}, inner))},
        {"ERSPAN type III with platform subheader", LinkLayer::ethernet,
         tunnel(47, concat(concat({0x10, 0, 0x22, 0xeb, 0, 0, 0, 3}, {0x20, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}),
                           concat(Bytes(8, 0), inner)))},
    };
    TemporaryDirectory dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureBuilder capture(0, CaptureBuilder::kMicrosecondMagic, c.link);
        capture.record(kStart, c.frame);
        write_file(dir.file("w.pcap"), capture.bytes());
        vorlan_capture::SkipCounters counters;
        const std::vector<Received> expected = {{kSensorA, kStart, payload}};
        EXPECT_EQ(read_all(dir.file("w.pcap"), &counters), expected);
        EXPECT_EQ(counters.total(), 0u);
    }
}

}  // namespace
