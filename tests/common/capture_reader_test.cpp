#include "capture_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "capture_file.h"
#include "common/received_datagram.h"
#include "support/capture_builder.h"
#include "wire_bytes.h"

namespace {

using namespace vorlan_test;
using vorlan_capture::CaptureReader;
using vorlan_capture::HeaderStatus;
using vorlan_capture::SkipCounters;

constexpr int64_t kStart = 1700000000LL * 1000000;
constexpr uint32_t kSensorA = ipv4(192, 168, 1, 10);
constexpr uint32_t kSensorB = ipv4(10, 0, 0, 7);


struct ReadResult {
    std::vector<Received> datagrams;
    SkipCounters counters;
};

ReadResult read_all(const Bytes& capture) {
    TemporaryDirectory dir;
    write_file(dir.file("c.pcap"), capture);
    CaptureReader reader;
    EXPECT_EQ(reader.open(dir.file("c.pcap")), HeaderStatus::ok);
    ReadResult result;
    vorlan_capture::Datagram datagram;
    while (reader.next(datagram)) {
        result.datagrams.push_back(received(datagram));
    }
    result.counters = reader.counters();
    return result;
}

FrameOptions from(uint32_t source, uint16_t identification = 0) {
    FrameOptions options;
    options.source = source;
    options.identification = identification;
    return options;
}

// Two datagrams of every link layer and header form the reader knows come
// out whole, with their source and time, and nothing is counted as skipped;
// the fragmented one carries the time of its earliest fragment's record,
// whichever order its fragments came in.
TEST(CaptureReader, ReadsEveryLinkLayerAndHeaderForm) {
    struct Case {
        const char* name;
        LinkLayer link;
        int outer_vlan;
        int vlan;
        uint8_t option_words;
        std::size_t padding;
        bool reversed;  // the fragments in reverse order
    };
    const Case cases[] = {
        {"ethernet", LinkLayer::ethernet, -1, -1, 0, 0, false},
        {"ethernet padded, fragments reversed", LinkLayer::ethernet, -1, -1, 0, 18, true},
        {"one vlan tag", LinkLayer::ethernet, -1, 12, 0, 0, false},
        {"two vlan tags", LinkLayer::ethernet, 7, 12, 0, 0, true},
        {"ipv4 options", LinkLayer::ethernet, -1, 3, 10, 0, false},
        {"linux cooked", LinkLayer::linux_cooked, -1, -1, 0, 0, true},
        {"linux cooked v2 with options", LinkLayer::linux_cooked2, -1, -1, 1, 0, false},
        {"raw ipv4", LinkLayer::raw_ipv4, -1, -1, 0, 0, false},
        {"bsd loopback with options", LinkLayer::bsd_loopback, -1, -1, 2, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FrameOptions options = from(kSensorA);
        options.link = c.link;
        options.outer_vlan = c.outer_vlan;
        options.vlan = c.vlan;
        options.ip_option_words = c.option_words;
        options.padding = c.padding;
        CaptureBuilder capture(0, CaptureBuilder::kMicrosecondMagic, c.link);
        capture.record(kStart, udp_frame(options, test_payload(1, 1)));
        options.source = kSensorB;
        std::vector<Bytes> fragments = udp_fragments(options, test_payload(3000, 2), 1480);
        if (c.reversed) {
            std::reverse(fragments.begin(), fragments.end());
        }
        for (std::size_t i = 0; i < fragments.size(); ++i) {
            capture.record(kStart + 7 + int64_t(i), fragments[i]);
        }
        const ReadResult result = read_all(capture.bytes());
        const std::vector<Received> expected = {{kSensorA, kStart, test_payload(1, 1)},
                                                {kSensorB, kStart + 7, test_payload(3000, 2)}};
        EXPECT_EQ(result.datagrams, expected);
        EXPECT_EQ(result.counters.total(), 0u);
    }
}

// A record that yields no datagram is counted under its reason and never
// disturbs the good record after it.
TEST(CaptureReader, CountsRecordsWithoutDatagramByReason) {
    const Bytes good = udp_frame(from(kSensorA), test_payload(40, 9));
    FrameOptions tcp = from(kSensorA);
    tcp.protocol = 6;
    Bytes arp = good;
    arp[12] = 0x08, arp[13] = 0x06;
    Bytes udp_too_long = good;
    udp_too_long[14 + 20 + 5] += 1;  // UDP length one byte more than the IPv4 packet holds
    Bytes udp_too_short = good;
    udp_too_short[14 + 20 + 5] -= 1;
    Bytes ip_too_long = good;
    ip_too_long[14 + 3] += 4;  // total length beyond the stored frame
    Bytes ihl_too_small = good;
    ihl_too_small[14] = 0x44;
    struct Case {
        const char* name;
        std::function<void(CaptureBuilder&)> add;
        LinkLayer link;
        uint64_t SkipCounters::*counter;
    };
    const Case cases[] = {
        {"tcp", [&](CaptureBuilder& c) { c.record(kStart, udp_frame(tcp, test_payload(40, 1))); },
         LinkLayer::ethernet, &SkipCounters::not_udp},
        {"arp", [&](CaptureBuilder& c) { c.record(kStart, arp); }, LinkLayer::ethernet, &SkipCounters::not_udp},
        {"snapshot cut in the payload", [&](CaptureBuilder& c) { c.record_snapshot(kStart, good, 60); },
         LinkLayer::ethernet, &SkipCounters::snapshot_cut},
        {"snapshot cut in the ip header", [&](CaptureBuilder& c) { c.record_snapshot(kStart, good, 20); },
         LinkLayer::ethernet, &SkipCounters::snapshot_cut},
        {"udp length too long", [&](CaptureBuilder& c) { c.record(kStart, udp_too_long); }, LinkLayer::ethernet,
         &SkipCounters::broken_header},
        {"udp length too short", [&](CaptureBuilder& c) { c.record(kStart, udp_too_short); },
         LinkLayer::ethernet, &SkipCounters::broken_header},
        {"ip total length beyond the record", [&](CaptureBuilder& c) { c.record(kStart, ip_too_long); },
         LinkLayer::ethernet, &SkipCounters::broken_header},
        {"ip header length below 20", [&](CaptureBuilder& c) { c.record(kStart, ihl_too_small); },
         LinkLayer::ethernet, &SkipCounters::broken_header},
        {"record shorter than ethernet", [&](CaptureBuilder& c) { c.record(kStart, Bytes(good.begin(), good.begin() + 13)); },
         LinkLayer::ethernet, &SkipCounters::broken_header},
        {"record shorter than its ip header",
         [&](CaptureBuilder& c) { c.record(kStart, Bytes(good.begin(), good.begin() + 30)); }, LinkLayer::ethernet,
         &SkipCounters::broken_header},
        {"empty record", [&](CaptureBuilder& c) { c.record(kStart, {}); }, LinkLayer::ethernet,
         &SkipCounters::broken_header},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureBuilder capture(0, CaptureBuilder::kMicrosecondMagic, c.link);
        c.add(capture);
        capture.record(kStart + 1, good);
        const ReadResult result = read_all(capture.bytes());
        ASSERT_EQ(result.datagrams.size(), 1u);
        EXPECT_EQ(result.datagrams[0].payload, test_payload(40, 9));
        EXPECT_EQ(result.counters.*c.counter, 1u);
        EXPECT_EQ(result.counters.total(), 1u);
    }

    CaptureBuilder wireless(0, CaptureBuilder::kMicrosecondMagic, LinkLayer(105));
    wireless.record(kStart, good).record(kStart + 1, good);
    const ReadResult other_link = read_all(wireless.bytes());
    EXPECT_TRUE(other_link.datagrams.empty());
    EXPECT_EQ(other_link.counters.other_link, 2u);
}

// Fragments are put together per (source, identification) whatever their
// order, and a datagram that never completes is counted, never spliced
// with another.
TEST(CaptureReader, ReassemblesFragmentsPerDatagram) {
    const Bytes big_a = test_payload(4000, 1);
    const Bytes big_b = test_payload(3500, 2);
    const auto a1 = udp_fragments(from(kSensorA, 1), big_a, 1480);
    const auto a2 = udp_fragments(from(kSensorA, 2), big_b, 1480);
    const auto b1 = udp_fragments(from(kSensorB, 1), big_b, 1480);
    struct Step {
        const std::vector<Bytes>* frames;
        std::size_t index;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<Received> expected;
        uint64_t incomplete;
    };
    const Case cases[] = {
        {"in order", {{&a1, 0}, {&a1, 1}, {&a1, 2}}, {{kSensorA, kStart, big_a}}, 0},
        {"reversed", {{&a1, 2}, {&a1, 1}, {&a1, 0}}, {{kSensorA, kStart, big_a}}, 0},
        {"two sensors interleaved, same identification",
         {{&a1, 0}, {&b1, 0}, {&b1, 1}, {&a1, 1}, {&b1, 2}, {&a1, 2}},
         {{kSensorB, kStart + 1, big_b}, {kSensorA, kStart, big_a}},
         0},
        {"consecutive datagrams of one sensor interleaved",
         {{&a1, 0}, {&a2, 0}, {&a1, 1}, {&a2, 2}, {&a2, 1}, {&a1, 2}},
         {{kSensorA, kStart + 1, big_b}, {kSensorA, kStart, big_a}},
         0},
        {"missing middle fragment", {{&a1, 0}, {&a1, 2}, {&a2, 0}, {&a2, 1}, {&a2, 2}},
         {{kSensorA, kStart + 1, big_b}}, 2},
        {"duplicated fragment", {{&a1, 0}, {&a1, 1}, {&a1, 1}, {&a1, 2}}, {{kSensorA, kStart, big_a}}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureBuilder capture;
        // Each record's time is that of the first fragment of its datagram
        // in the capture plus its datagram's order of first appearance.
        std::vector<const std::vector<Bytes>*> seen;
        for (const Step& step : c.steps) {
            if (std::find(seen.begin(), seen.end(), step.frames) == seen.end()) {
                seen.push_back(step.frames);
            }
            const int64_t rank = std::find(seen.begin(), seen.end(), step.frames) - seen.begin();
            capture.record(kStart + rank, (*step.frames)[step.index]);
        }
        const ReadResult result = read_all(capture.bytes());
        EXPECT_EQ(result.datagrams, c.expected);
        EXPECT_EQ(result.counters.incomplete, c.incomplete);
    }
}

TEST(CaptureReader, AbandonedDatagramsKeepStateBoundedAndAreCounted) {
    CaptureBuilder capture;
    constexpr std::size_t kBroken = 1000;
    for (std::size_t i = 0; i < kBroken; ++i) {
        capture.record(kStart, udp_fragments(from(kSensorA, uint16_t(i)), test_payload(2000, 3), 1480)[0]);
    }
    for (const Bytes& frame : udp_fragments(from(kSensorA, 60000), test_payload(2000, 4), 1480)) {
        capture.record(kStart + 1, frame);
    }
    const ReadResult result = read_all(capture.bytes());
    ASSERT_EQ(result.datagrams.size(), 1u);
    EXPECT_EQ(result.datagrams[0].payload, test_payload(2000, 4));
    EXPECT_EQ(result.counters.incomplete, kBroken);
}

// Fragments that cannot make one whole datagram give nothing, and never
// hold back or spoil the datagrams around them.
TEST(CaptureReader, BrokenFragmentedDatagramsGiveNothing) {
    const Bytes big = test_payload(4000, 9);
    const Bytes other = test_payload(300, 4);
    const std::vector<Bytes> a = udp_fragments(from(kSensorA, 1), big, 1480);
    const std::vector<Bytes> c = udp_fragments(from(kSensorA, 2), big, 1480);
    const Bytes whole_a = udp_frame(from(kSensorA, 2), other);
    const Bytes whole_b = udp_frame(from(kSensorB), other);
    // The UDP header announces 300 bytes; the fragments carry 4000.
    Bytes overflowing = a[0];
    vorlan_common::store_u16be(overflowing.data() + 38, 308);
    struct Case {
        const char* name;
        std::vector<Bytes> frames;  // in file order
        std::vector<Bytes> expected;
    };
    const Case cases[] = {
        {"out of order, the first fragment in the middle", {a[2], a[0], a[1]}, {big}},
        {"another datagram of the same source in between", {a[0], whole_a, a[1], a[2]}, {other, big}},
        {"last missing", {a[0], a[1], whole_b}, {other}},
        {"continuations without a first fragment", {a[1], a[2]}, {}},
        {"a repeated last fragment after completion", {a[0], a[1], a[2], a[2]}, {big}},
        {"a datagram left incomplete", {a[0], a[1], c[0], c[1], c[2]}, {big}},
        {"identification differs", {a[0], c[1], c[2]}, {}},
        {"fragments beyond the announced UDP length", {overflowing, a[1], a[2]}, {}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        CaptureBuilder capture;
        int64_t time = kStart;
        for (const Bytes& frame : test.frames) {
            capture.record(time, frame);
            time += 10;
        }
        std::vector<Bytes> payloads;
        for (const Received& datagram : read_all(capture.bytes()).datagrams) {
            payloads.push_back(datagram.payload);
        }
        EXPECT_EQ(payloads, test.expected);
    }
}

// 65527 payload bytes fill the 16-bit UDP length; a datagram whose
// fragments add up to more can only be a hostile file.
TEST(CaptureReader, LargestDatagramReassemblesAndOneByteMoreIsDropped) {
    constexpr std::size_t kLargestPayload = 65535 - 8;
    const Bytes largest = test_payload(kLargestPayload, 3);
    CaptureBuilder capture;
    for (const Bytes& frame : udp_fragments(from(kSensorA, 1), largest, 8192)) {
        capture.record(kStart, frame);
    }
    auto overflow = udp_fragments(from(kSensorA, 2), test_payload(kLargestPayload + 8, 3), 8184);
    vorlan_common::store_u16be(overflow[0].data() + 38, 65535);  // the UDP length cannot say more
    for (const Bytes& frame : overflow) {
        capture.record(kStart + 1, frame);
    }
    const ReadResult result = read_all(capture.bytes());
    ASSERT_EQ(result.datagrams.size(), 1u);
    EXPECT_EQ(result.datagrams[0].payload, largest);
}

// The reader takes records from a window of the file and refills it when a
// record runs past its end: a record cut by the window's edge anywhere, in
// its record header, its frame headers or its payload, must read whole.
TEST(CaptureReader, RecordsCutByTheReadWindowReadWhole) {
    constexpr int64_t kWindow = int64_t(vorlan_capture::CaptureFile::kWindowSize);
    constexpr int64_t kFirstRecord = 24;  // after the file header
    const Bytes payload = test_payload(100, 7);
    const Bytes fragment_payload = test_payload(3000, 8);
    const std::vector<Bytes> fragments = udp_fragments(from(kSensorB, 5), fragment_payload, 1480);
    struct Case {
        const char* name;
        int64_t before_edge;  // bytes of the record inside the first window
        std::vector<Bytes> frames;  // the first one is the record cut by the edge
        std::vector<Bytes> expected;
    };
    const Case cases[] = {
        {"edge in the record header", 9, {udp_frame(from(kSensorB), payload)}, {payload}},
        {"edge in the Ethernet header", 20, {udp_frame(from(kSensorB), payload)}, {payload}},
        {"edge one byte before the payload", 57, {udp_frame(from(kSensorB), payload)}, {payload}},
        {"edge at the payload", 58, {udp_frame(from(kSensorB), payload)}, {payload}},
        {"edge in the payload", 90, {udp_frame(from(kSensorB), payload)}, {payload}},
        {"short record across the edge", 10, {Bytes(30, 0x08), udp_frame(from(kSensorB), payload)}, {payload}},
        {"fragment continuation across the edge", 40, {fragments[1], fragments[2]}, {}},
        {"fragments on both sides of the edge", 40, {fragments[0], fragments[1], fragments[2]}, {fragment_payload}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureBuilder capture;
        std::vector<Bytes> expected;
        // Fillers up to the point where the cut record starts.
        const int64_t cut_at = kFirstRecord + kWindow - c.before_edge;
        uint8_t seed = 0;
        while (int64_t(capture.size()) < cut_at) {
            const int64_t gap = cut_at - int64_t(capture.size());
            const int64_t headers = 16 + 42;
            const int64_t size = gap >= 60000 + 2 * headers ? 60000 : gap - headers;
            ASSERT_GE(size, 0);
            expected.push_back(test_payload(std::size_t(size), seed++));
            capture.udp(kStart + int64_t(seed), kSensorA, expected.back());
        }
        ASSERT_EQ(cut_at, int64_t(capture.size()));
        int64_t time = kStart + 1000;
        for (const Bytes& frame : c.frames) {
            capture.record(time++, frame);
        }
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        TemporaryDirectory dir;
        write_file(dir.file("c.pcap"), capture.bytes());
        CaptureReader reader;
        ASSERT_EQ(reader.open(dir.file("c.pcap")), HeaderStatus::ok);
        vorlan_capture::Datagram datagram;
        // Read once to the end, then again from the first record: the
        // window then starts at that record, wherever opening left it.
        while (reader.next(datagram)) {
        }
        reader.seek(kFirstRecord);
        std::vector<Bytes> read;
        while (reader.next(datagram)) {
            read.push_back(Bytes(datagram.payload, datagram.payload + datagram.size));
        }
        ASSERT_EQ(read.size(), expected.size());
        for (std::size_t i = 0; i < read.size(); ++i) {
            EXPECT_EQ(read[i], expected[i]) << "datagram " << i;
        }
        EXPECT_EQ(reader.end().kind, CaptureReader::End::clean);
    }
}

// A capture cut anywhere in its last record, or whose record claims more
// than the file holds, gives everything before that record, and says where
// the readable records end; a whole file ends clean.
TEST(CaptureReader, FileEndingInsideARecordGivesEverythingBeforeAndSaysWhere) {
    using End = CaptureReader::End;
    CaptureBuilder whole;
    whole.udp(kStart, kSensorA, test_payload(100, 1)).udp(kStart + 1, kSensorA, test_payload(100, 2));
    const std::size_t last_record = whole.size();
    whole.udp(kStart + 2, kSensorA, test_payload(100, 3));
    const auto cut_at = [&](std::size_t keep) {
        return Bytes(whole.bytes().begin(), whole.bytes().begin() + long(last_record + keep));
    };
    Bytes huge = whole.bytes();
    huge[last_record + 11] = 0x7f;  // the stored length claims 2 GiB
    // Garbage over the whole header: the time it holds says nothing.
    Bytes garbage = huge;
    garbage[last_record + 3] ^= 0x9c;  // the seconds jump by years
    // A record longer than any capturing tool stores, lying whole in the
    // file, is stepped over.
    CaptureBuilder oversized;
    oversized.udp(kStart, kSensorA, test_payload(100, 1)).udp(kStart + 1, kSensorA, test_payload(100, 2));
    oversized.record(kStart + 2, Bytes(vorlan_capture::kMaxRecordLength + 1, 0));
    // A stored length longer than the frame on the wire cannot be right,
    // even when the record so claimed lies inside the file.
    CaptureBuilder longer;
    longer.udp(kStart, kSensorA, test_payload(100, 1)).udp(kStart + 1, kSensorA, test_payload(100, 2));
    const Bytes frame = udp_frame(from(kSensorA), test_payload(100, 3));
    longer.record_claiming(kStart + 2, frame, uint32_t(frame.size() + 8));
    longer.udp(kStart + 3, kSensorA, test_payload(100, 4)).udp(kStart + 4, kSensorA, test_payload(100, 5));
    // Longer than any capturing tool stores too, and not stepped over.
    CaptureBuilder far;
    far.udp(kStart, kSensorA, test_payload(100, 1)).udp(kStart + 1, kSensorA, test_payload(100, 2));
    far.record_claiming(kStart + 2, frame, vorlan_capture::kMaxRecordLength + 16);
    far.raw(Bytes(vorlan_capture::kMaxRecordLength, 0)).udp(kStart + 3, kSensorA, test_payload(100, 4));
    struct Case {
        const char* name;
        Bytes bytes;
        std::size_t datagrams;
        End::Kind end;
        bool has_time;
    };
    const Case cases[] = {
        {"cut in the record header", cut_at(15), 2, End::cut, false},
        {"cut after the record header", cut_at(16), 2, End::cut, true},
        {"cut in the frame headers", cut_at(58), 2, End::cut, true},
        {"cut in the payload", cut_at(143), 2, End::cut, true},
        {"length beyond the file", huge, 2, End::cut, true},
        {"length and time damaged", garbage, 2, End::cut, false},
        {"length beyond the wire", longer.bytes(), 2, End::cut, true},
        {"length beyond the wire and any capture", far.bytes(), 2, End::cut, true},
        {"whole", whole.bytes(), 3, End::clean, false},
        {"oversized record inside the file", oversized.bytes(), 2, End::clean, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryDirectory dir;
        write_file(dir.file("c.pcap"), c.bytes);
        CaptureReader reader;
        ASSERT_EQ(reader.open(dir.file("c.pcap")), HeaderStatus::ok);
        vorlan_capture::Datagram datagram;
        std::size_t n = 0;
        while (reader.next(datagram)) {
            ++n;
        }
        EXPECT_EQ(n, c.datagrams);
        EXPECT_EQ(reader.end().kind, c.end);
        EXPECT_EQ(reader.counters().broken_header, c.end == End::cut || c.datagrams == 2 ? 1u : 0u);
        if (c.end == End::cut) {
            EXPECT_EQ(reader.end().offset, int64_t(last_record));
            EXPECT_EQ(reader.end().has_time, c.has_time);
            EXPECT_EQ(reader.end().time, c.has_time ? kStart + 2 : 0);
        }
        // Reading on stays at the end, and counts nothing twice.
        EXPECT_FALSE(reader.next(datagram));
        EXPECT_EQ(reader.end().kind, c.end);
        EXPECT_LE(reader.counters().broken_header, 1u);
    }
}

// Every capture form opens; parse_file_header still names the form (for
// messages), and what is no capture is refused by what it is.
TEST(CaptureReader, OpensEveryCaptureFormAndRefusesOthers) {
    const Bytes header = CaptureBuilder().bytes();
    const Bytes pcapng = {0x0a, 0x0d, 0x0d, 0x0a, 28, 0, 0, 0, 0x4d, 0x3c, 0x2b, 0x1a, 1, 0, 0, 0,
                          0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 28, 0, 0, 0};
    struct Case {
        const char* name;
        Bytes bytes;
        HeaderStatus form;
        HeaderStatus open;
    };
    const Case cases[] = {
        {"classic", header, HeaderStatus::ok, HeaderStatus::ok},
        {"pcapng", pcapng, HeaderStatus::pcapng, HeaderStatus::ok},
        {"nanosecond", CaptureBuilder(0, 0xa1b23c4d).bytes(), HeaderStatus::nanosecond, HeaderStatus::ok},
        {"big-endian microsecond", CaptureBuilder(0, 0xd4c3b2a1).bytes(), HeaderStatus::big_endian, HeaderStatus::ok},
        {"big-endian nanosecond", CaptureBuilder(0, 0x4d3cb2a1).bytes(), HeaderStatus::big_endian, HeaderStatus::ok},
        {"text", Bytes(100, 'a'), HeaderStatus::unknown_magic, HeaderStatus::unknown_magic},
        {"global header cut", Bytes(header.begin(), header.begin() + 23), HeaderStatus::too_short,
         HeaderStatus::too_short},
        {"section header cut", Bytes(pcapng.begin(), pcapng.begin() + 24), HeaderStatus::pcapng,
         HeaderStatus::too_short},
    };
    TemporaryDirectory dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vorlan_capture::FileHeader parsed;
        EXPECT_EQ(vorlan_capture::parse_file_header(c.bytes.data(), c.bytes.size(), parsed), c.form);
        write_file(dir.file("f"), c.bytes);
        CaptureReader reader;
        EXPECT_EQ(reader.open(dir.file("f")), c.open);
        EXPECT_EQ(reader.is_open(), c.open == HeaderStatus::ok);
        vorlan_capture::Datagram datagram;
        EXPECT_FALSE(reader.next(datagram));
    }
    CaptureReader reader;
    EXPECT_EQ(reader.open(dir.file("missing")), HeaderStatus::too_short);
}

// Seeking to a record offset continues there, also back to the start after
// the end, and reads past the window's size correctly.
TEST(CaptureReader, SeekContinuesAtTheRecordGiven) {
    CaptureBuilder capture;
    std::vector<std::size_t> offsets;
    for (int i = 0; i < 400; ++i) {
        offsets.push_back(capture.size());
        capture.udp(kStart + i, kSensorA, test_payload(9000, uint8_t(i)));
    }
    TemporaryDirectory dir;
    write_file(dir.file("c.pcap"), capture.bytes());
    CaptureReader reader;
    ASSERT_EQ(reader.open(dir.file("c.pcap")), HeaderStatus::ok);
    vorlan_capture::Datagram datagram;
    int count = 0;
    while (reader.next(datagram)) {
        ASSERT_EQ(Bytes(datagram.payload, datagram.payload + datagram.size), test_payload(9000, uint8_t(count)));
        ++count;
    }
    EXPECT_EQ(count, 400);
    for (int i : {250, 3, 399, 0}) {
        reader.seek(int64_t(offsets[std::size_t(i)]));
        ASSERT_TRUE(reader.next(datagram));
        EXPECT_EQ(datagram.time, kStart + i);
        EXPECT_EQ(Bytes(datagram.payload, datagram.payload + datagram.size), test_payload(9000, uint8_t(i)));
    }
    EXPECT_EQ(reader.counters().total(), 0u);
}

}  // namespace
