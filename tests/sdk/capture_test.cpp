#include "capture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "support/capture_builder.h"
#include "support/capture_forms.h"
#include "wire_bytes.h"

namespace vorlan_sdk {
namespace {

using testing::HasSubstr;
using vorlan_test::Bytes;
using vorlan_test::CaptureBuilder;
using vorlan_test::FrameOptions;
using vorlan_test::ipv4;
using vorlan_test::test_payload;
using vorlan_test::udp_fragments;
using vorlan_test::udp_frame;

// The message of a failure, which counts as read.
std::string message_of(const SensorError& error) {
    error.mark_used();
    return error.message();
}

constexpr int64_t kSecond = 1000000;
constexpr int64_t kStart = 1700000000 * kSecond;
constexpr uint32_t kSensorA = ipv4(192, 168, 1, 10);
constexpr uint32_t kSensorB = ipv4(10, 0, 0, 7);

struct Packet {
    uint32_t source = 0;
    int64_t timestamp = 0;
    Bytes payload;
};

// Every packet up to the end of the file, which must end with EOF.
std::vector<Packet> read_all(Capture& capture) {
    std::vector<Packet> packets;
    for (;;) {
        Capture::PacketHeader header;
        const uint8_t* data = nullptr;
        SensorError error = capture.next_packet(header, data);
        if (!error.ok()) {
            EXPECT_EQ(VORLAN_ERROR_EOF, error.code()) << error.what();
            return packets;
        }
        EXPECT_EQ(0u, header.source_address >> 32);
        packets.push_back({uint32_t(header.source_address), header.timestamp,
                           Bytes(data, data + header.data_size)});
    }
}

FrameOptions from(uint32_t source, uint16_t identification = 0) {
    FrameOptions options;
    options.source = source;
    options.identification = identification;
    return options;
}

class CaptureTest : public testing::Test {
protected:
    // Writes `builder` to a file of its own and opens it.
    std::string open(const CaptureBuilder& builder) {
        const std::string path = m_dir.file("run" + std::to_string(m_files++) + ".pcap");
        builder.write(path);
        SensorError error = m_capture.open_for_read(path);
        EXPECT_TRUE(error.ok()) << error.what();
        return path;
    }
    // Every packet of the capture `builder` makes.
    std::vector<Packet> read_back(const CaptureBuilder& builder) {
        open(builder);
        return read_all(m_capture);
    }

    vorlan_test::TemporaryDirectory m_dir;
    Capture m_capture;
    int m_files = 0;
};

// ---- Writing ---------------------------------------------------------------

TEST_F(CaptureTest, WrittenPacketsReadBackThroughTheLibraryAndLibpcap) {
    const std::string path = m_dir.file("written.pcap");
    const std::vector<Packet> written = {
        {kSensorA, kStart, test_payload(1400, 1)},
        {kSensorB, kStart + 250, test_payload(0, 2)},
        {kSensorA, kStart + 1 * kSecond + 999999, test_payload(17, 3)},
        {kSensorB, kStart + 5 * kSecond, test_payload(Capture::kMaxWritePayload, 4)},
    };
    ASSERT_TRUE(m_capture.open_for_write(path, false).ok());
    for (const Packet& packet : written) {
        Capture::PacketHeader header;
        header.source_address = packet.source;
        header.timestamp = packet.timestamp;
        header.data_size = int32_t(packet.payload.size());
        SensorError error = m_capture.append_packet(header, packet.payload.data());
        ASSERT_TRUE(error.ok()) << error.what();
    }
    m_capture.close();

    ASSERT_TRUE(m_capture.open_for_read(path).ok());
    EXPECT_EQ(kStart, m_capture.get_start_time());
    EXPECT_EQ(5 * kSecond, m_capture.get_length());
    const std::vector<Packet> read = read_all(m_capture);
    ASSERT_EQ(written.size(), read.size());
    for (std::size_t i = 0; i < read.size(); ++i) {
        EXPECT_EQ(written[i].source, read[i].source) << i;
        EXPECT_EQ(written[i].timestamp, read[i].timestamp) << i;
        EXPECT_EQ(written[i].payload, read[i].payload) << i;
    }

    // An independent reader sees a classic Ethernet capture with the same
    // datagrams.
    char errors[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pcap = pcap_open_offline(path.c_str(), errors);
    ASSERT_NE(nullptr, pcap) << errors;
    EXPECT_EQ(DLT_EN10MB, pcap_datalink(pcap));
    EXPECT_EQ(65535, pcap_snapshot(pcap));
    EXPECT_EQ(2, pcap_major_version(pcap));
    EXPECT_EQ(4, pcap_minor_version(pcap));
    pcap_pkthdr* header = nullptr;
    const u_char* frame = nullptr;
    for (const Packet& packet : written) {
        ASSERT_EQ(1, pcap_next_ex(pcap, &header, &frame));
        const std::size_t n = packet.payload.size();
        ASSERT_EQ(n + 42, header->caplen);
        EXPECT_EQ(n + 42, header->len);
        EXPECT_EQ(packet.timestamp, int64_t(header->ts.tv_sec) * kSecond + header->ts.tv_usec);
        EXPECT_EQ(0x0800, vorlan_common::load_u16be(frame + 12));
        EXPECT_EQ(0x45, frame[14]);
        EXPECT_EQ(n + 28, vorlan_common::load_u16be(frame + 16));
        EXPECT_EQ(0u, vorlan_common::load_u16be(frame + 18));  // identification
        EXPECT_EQ(0u, vorlan_common::load_u16be(frame + 20));  // never fragmented
        EXPECT_EQ(64, frame[22]);                     // time to live
        EXPECT_EQ(17, frame[23]);
        // A valid IPv4 header sums to 0xffff in ones' complement, its
        // checksum included.
        uint32_t sum = 0;
        for (std::size_t i = 14; i < 34; i += 2) {
            sum += vorlan_common::load_u16be(frame + i);
        }
        while (sum >> 16) {
            sum = (sum & 0xffff) + (sum >> 16);
        }
        EXPECT_EQ(0xffffu, sum);
        EXPECT_NE(0u, vorlan_common::load_u16be(frame + 24));
        EXPECT_EQ(packet.source, vorlan_common::load_u32be(frame + 26));
        EXPECT_EQ(0xffffffffu, vorlan_common::load_u32be(frame + 30));
        EXPECT_EQ(443, vorlan_common::load_u16be(frame + 34));
        EXPECT_EQ(8808, vorlan_common::load_u16be(frame + 36));
        EXPECT_EQ(n + 8, vorlan_common::load_u16be(frame + 38));
        EXPECT_EQ(0u, vorlan_common::load_u16be(frame + 40));  // no UDP checksum
        EXPECT_EQ(packet.payload, Bytes(frame + 42, frame + 42 + n));
    }
    EXPECT_EQ(PCAP_ERROR_BREAK, pcap_next_ex(pcap, &header, &frame));
    pcap_close(pcap);
}

// Writes one 20-byte packet stamped `timestamp` into `path`.
SensorError write_one(const std::string& path, bool append, int64_t timestamp) {
    Capture capture;
    SensorError opened = capture.open_for_write(path, append);
    if (!opened.ok()) {
        return opened;
    }
    const Bytes payload = test_payload(20, 5);
    Capture::PacketHeader header;
    header.source_address = kSensorA;
    header.timestamp = timestamp;
    header.data_size = 20;
    return capture.append_packet(header, payload.data());
}

TEST_F(CaptureTest, ZeroTimestampIsStampedWithTheCurrentTime) {
    const std::string path = m_dir.file("now.pcap");
    ASSERT_TRUE(write_one(path, false, 0).ok());
    ASSERT_TRUE(m_capture.open_for_read(path).ok());
    const std::vector<Packet> read = read_all(m_capture);
    ASSERT_EQ(1u, read.size());
    // Any time of this century will do: the record is not stamped 0.
    EXPECT_GT(read[0].timestamp, 946684800 * kSecond);
}

TEST_F(CaptureTest, AppendingAddsRecordsToCapturesOnly) {
    // The first round appends to a file that does not exist yet: it must
    // still become a capture, and later rounds add no second header.
    const std::string path = m_dir.file("append.pcap");
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(write_one(path, true, kStart + round * kSecond).ok());
    }
    EXPECT_EQ(24u + 3 * (16 + 42 + 20), std::filesystem::file_size(path));
    ASSERT_TRUE(m_capture.open_for_read(path).ok());
    const std::vector<Packet> read = read_all(m_capture);
    ASSERT_EQ(3u, read.size());
    EXPECT_EQ(kStart + 2 * kSecond, read[2].timestamp);

    // Records take the time zone of the capture they join.
    const std::string zone = m_dir.file("zone.pcap");
    CaptureBuilder(3600).write(zone);
    ASSERT_TRUE(write_one(zone, true, kStart).ok());
    ASSERT_TRUE(m_capture.open_for_read(zone).ok());
    EXPECT_EQ(kStart, read_all(m_capture).at(0).timestamp);

    const std::string text = m_dir.file("notes.txt");
    vorlan_test::write_file(text, Bytes(100, 'x'));
    EXPECT_EQ(VORLAN_ERROR_INVALID_FILE_TYPE, write_one(text, true, kStart).code());
    EXPECT_EQ(100u, std::filesystem::file_size(text));
}

TEST_F(CaptureTest, WritingRefusesPacketsItCannotStore) {
    ASSERT_TRUE(m_capture.open_for_write(m_dir.file("refused.pcap"), false).ok());
    const Bytes payload = test_payload(Capture::kMaxWritePayload + 1, 0);
    struct Case {
        const char* name;
        int32_t size;
        int64_t timestamp;
        const uint8_t* data;
    };
    const Case cases[] = {
        {"negative size", -1, kStart, payload.data()},
        {"larger than an IPv4 datagram", Capture::kMaxWritePayload + 1, kStart, payload.data()},
        {"no bytes", 10, kStart, nullptr},
        {"before 1970", 10, -5, payload.data()},
        {"beyond 32-bit seconds", 10, (int64_t(1) << 32) * kSecond, payload.data()},
    };
    for (const Case& c : cases) {
        Capture::PacketHeader header;
        header.source_address = kSensorA;
        header.timestamp = c.timestamp;
        header.data_size = c.size;
        EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, m_capture.append_packet(header, c.data).code()) << c.name;
    }
    m_capture.close();
    EXPECT_EQ(24u, std::filesystem::file_size(m_dir.file("refused.pcap")));
}

TEST_F(CaptureTest, ReadsACaptureWrittenWithLibpcap) {
    const std::string path = m_dir.file("foreign.pcap");
    std::vector<Bytes> frames;
    frames.push_back(udp_frame(from(kSensorA), test_payload(100, 1)));
    for (const Bytes& fragment : udp_fragments(from(kSensorB, 77), test_payload(3000, 2), 1480)) {
        frames.push_back(fragment);
    }
    FrameOptions vlan = from(kSensorA);
    vlan.vlan = 5;
    frames.push_back(udp_frame(vlan, test_payload(50, 3)));
    FrameOptions tcp = from(kSensorA);
    tcp.protocol = 6;
    frames.push_back(udp_frame(tcp, test_payload(60, 4)));
    FrameOptions options = from(kSensorA);
    options.ip_option_words = 1;
    frames.push_back(udp_frame(options, test_payload(70, 5)));
    FrameOptions padded = from(kSensorB);
    padded.padding = 14;  // a 4-byte payload padded to the 60-byte minimum frame
    frames.push_back(udp_frame(padded, test_payload(4, 6)));

    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(nullptr, dumper) << pcap_geterr(dead);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        pcap_pkthdr header = {};
        header.ts.tv_sec = 1700000000;
        header.ts.tv_usec = suseconds_t(i * 1000);
        header.caplen = header.len = bpf_u_int32(frames[i].size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frames[i].data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);

    ASSERT_TRUE(m_capture.open_for_read(path).ok());
    EXPECT_EQ(frames.size(), m_capture.get_read_index().size());
    EXPECT_EQ(int64_t(frames.size() - 1) * 1000, m_capture.get_length());
    const std::vector<Packet> read = read_all(m_capture);
    ASSERT_EQ(5u, read.size());
    EXPECT_EQ(test_payload(100, 1), read[0].payload);
    EXPECT_EQ(kSensorB, read[1].source);
    EXPECT_EQ(test_payload(3000, 2), read[1].payload);
    EXPECT_EQ(kStart + 1000, read[1].timestamp);  // the first fragment's time
    EXPECT_EQ(test_payload(50, 3), read[2].payload);   // VLAN tagged
    EXPECT_EQ(test_payload(70, 5), read[3].payload);   // IPv4 options
    EXPECT_EQ(test_payload(4, 6), read[4].payload);    // Ethernet padding is not payload
    EXPECT_EQ(1u, m_capture.skip_counters().not_udp);
}

TEST_F(CaptureTest, RecordsWithoutADatagramAreIndexedAndCountedByReason) {
    const Bytes good = udp_frame(from(kSensorB), test_payload(5, 1));
    FrameOptions tcp = from(kSensorA);
    tcp.protocol = 6;
    Bytes no_length = udp_frame(from(kSensorA), test_payload(9, 0));
    vorlan_common::store_u16be(no_length.data() + 38, 4);  // UDP length below its own header
    Bytes cut = udp_frame(from(kSensorA), test_payload(9, 0));
    cut.resize(40);  // the IPv4 total length runs past the stored bytes
    CaptureBuilder builder;
    builder.record(kStart, Bytes(10, 0xab));  // shorter than an Ethernet header
    builder.record(kStart + 1, udp_frame(tcp, test_payload(9, 0)));
    builder.record(kStart + 2, no_length);
    builder.record(kStart + 3, cut);
    builder.record_snapshot(kStart + 4, udp_frame(from(kSensorA), test_payload(900, 0)), 200);
    builder.record(kStart + 5, udp_fragments(from(kSensorA, 9), test_payload(3000, 0), 1480)[0]);
    builder.record(kStart + 6, good);
    builder.record(kStart + 7, Bytes(good.begin(), good.begin() + 30));  // short, and the last record
    open(builder);
    EXPECT_EQ(8u, m_capture.get_read_index().size());
    const std::vector<Packet> read = read_all(m_capture);
    ASSERT_EQ(1u, read.size());
    EXPECT_EQ(kSensorB, read[0].source);
    const vorlan_capture::SkipCounters& counters = m_capture.skip_counters();
    EXPECT_EQ(1u, counters.not_udp);
    EXPECT_EQ(4u, counters.broken_header);
    EXPECT_EQ(1u, counters.snapshot_cut);
    EXPECT_EQ(1u, counters.incomplete);
    EXPECT_EQ(0u, counters.other_link);

    // A link layer that carries no IPv4 the reader knows.
    CaptureBuilder wireless(0, CaptureBuilder::kMicrosecondMagic, vorlan_test::LinkLayer(105));
    wireless.record(kStart, good).record(kStart + 1, good);
    EXPECT_TRUE(read_back(wireless).empty());
    EXPECT_EQ(2u, m_capture.skip_counters().other_link);
    EXPECT_EQ(2u, m_capture.skip_counters().total());
}

TEST_F(CaptureTest, ManySendersDoNotBreakReading) {
    CaptureBuilder builder;
    const std::size_t n = 2051;
    for (std::size_t i = 0; i < n; ++i) {
        builder.udp(kStart + int64_t(i), ipv4(10, 1, uint8_t(i >> 8), uint8_t(i)), test_payload(12, uint8_t(i)));
    }
    const std::vector<Packet> read = read_back(builder);
    ASSERT_EQ(n, read.size());
    EXPECT_EQ(test_payload(12, uint8_t(n - 1)), read.back().payload);
}

TEST_F(CaptureTest, TimeZoneOffsetIsAddedOnce) {
    open(CaptureBuilder(-7200).udp(kStart, kSensorA, test_payload(3, 0)).udp(kStart + 5, kSensorA, test_payload(3, 0)));
    EXPECT_EQ(kStart - 7200 * kSecond, m_capture.get_start_time());
    EXPECT_EQ(-7200 * kSecond, m_capture.get_time_offset());
    const std::vector<Packet> read = read_all(m_capture);
    ASSERT_EQ(2u, read.size());
    EXPECT_EQ(kStart - 7200 * kSecond + 5, read[1].timestamp);
    EXPECT_EQ(5, m_capture.get_position());
}

TEST_F(CaptureTest, CaptureStartingAtTimeZeroKeepsRelativeTimes) {
    open(CaptureBuilder().udp(0, kSensorA, test_payload(3, 0)).udp(1000, kSensorA, test_payload(3, 1)));
    EXPECT_EQ(0, m_capture.get_start_time());
    EXPECT_EQ(1000, m_capture.get_length());
    ASSERT_EQ(2u, read_all(m_capture).size());
    EXPECT_EQ(1000, m_capture.get_position());
    // Loaded from the side file the second time.
    const std::string path = m_capture.filename();
    ASSERT_TRUE(m_capture.open_for_read(path).ok());
    EXPECT_EQ(0, m_capture.get_start_time());
    EXPECT_EQ(1000, m_capture.get_length());
}

// ---- Files that are damaged or not captures ------------------------------------

TEST_F(CaptureTest, OpeningDamagedFilesFailsCleanly) {
    const Bytes global_header = CaptureBuilder().bytes();
    const Bytes good_record = [] {
        CaptureBuilder builder;
        builder.udp(kStart, kSensorA, test_payload(10, 0));
        return Bytes(builder.bytes().begin() + 24, builder.bytes().end());
    }();
    const Bytes section = vorlan_test::PcapngBuilder().section().bytes();
    Bytes bad_order = section;
    bad_order[8] = 0x11;
    struct Case {
        const char* name;
        Bytes bytes;
        VorlanSensorErrorCode code;
        const char* message;
    };
    const Case cases[] = {
        {"empty file", {}, VORLAN_ERROR_FILE_IO, ""},
        {"text", Bytes(200, 'a'), VORLAN_ERROR_INVALID_FILE_TYPE, ""},
        {"pcapng with an unknown byte-order mark", bad_order, VORLAN_ERROR_INVALID_FILE_TYPE, ""},
        {"pcapng section header cut", Bytes(section.begin(), section.begin() + 20), VORLAN_ERROR_FILE_IO, ""},
        {"global header cut", Bytes(global_header.begin(), global_header.begin() + 20), VORLAN_ERROR_FILE_IO, ""},
        {"zero-length record",
         CaptureBuilder().raw(good_record).record_claiming(kStart + 1, {}, 0).bytes(), VORLAN_ERROR_CORRUPT_FILE,
         "Empty packet!"},
    };
    for (const Case& c : cases) {
        const std::string path = m_dir.file(std::string(c.name) + ".pcap");
        vorlan_test::write_file(path, c.bytes);
        SensorError error = m_capture.open_for_read(path);
        EXPECT_EQ(c.code, error.code()) << c.name;
        EXPECT_THAT(error.message(), HasSubstr(c.message)) << c.name;
        EXPECT_FALSE(m_capture.is_open()) << c.name;
        EXPECT_TRUE(m_capture.filename().empty()) << c.name;
    }
    EXPECT_EQ(VORLAN_ERROR_FILE_IO, m_capture.open_for_read(m_dir.file("missing.pcap")).code());
}

// A file that ends inside a record (cut short anywhere in its last record),
// or holds one whose stored length a flipped bit made longer than the file
// or than the frame on the wire, opens, gives every datagram before that record, then says once where the
// readable part ends. Its index lists only the whole records and is not
// stored, and an index that lists the damaged record is not believed.
TEST_F(CaptureTest, FileEndingInsideARecordGivesEverythingBeforeAndSaysWhere) {
    CaptureBuilder builder;
    builder.udp(kStart, kSensorA, test_payload(100, 0)).udp(kStart + 1000, kSensorA, test_payload(100, 1));
    const std::size_t damaged = builder.size();
    builder.udp(kStart + 2500, kSensorB, test_payload(100, 2));
    const std::size_t after = builder.size();
    builder.udp(kStart + 3000, kSensorA, test_payload(100, 3));
    const Bytes whole = builder.bytes();
    const auto cut_at = [&](std::size_t size) { return Bytes(whole.begin(), whole.begin() + long(size)); };
    const auto with_length = [&](Bytes bytes, uint32_t length) {
        vorlan_common::store_u32le(bytes.data() + damaged + 8, length);
        return bytes;
    };
    struct Case {
        const char* name;
        Bytes bytes;
        const char* at;  // the time the report gives
    };
    const Case cases[] = {
        // Cut inside its own header, the record has no time: the last whole
        // record's stands for it.
        {"cut in the record header", cut_at(damaged + 10), "at 0.001000 s"},
        {"cut after the record header", cut_at(damaged + 16), "at 0.002500 s"},
        {"cut in the frame headers", cut_at(damaged + 40), "at 0.002500 s"},
        {"cut in the payload", cut_at(after - 1), "at 0.002500 s"},
        {"flipped bit in the last record's length", with_length(cut_at(after), 142 | (1u << 16)), "at 0.002500 s"},
        {"flipped bit in a middle record's length", with_length(whole, 142 | (1u << 20)), "at 0.002500 s"},
        {"length beyond any capture", with_length(whole, 0xffffffffu), "at 0.002500 s"},
        // Still inside the file, but longer than the frame was on the wire:
        // where the next record starts is lost all the same.
        {"flipped low bit in a middle record's length", with_length(whole, 142 | 16), "at 0.002500 s"},
    };
    const std::string byte = "(record at byte " + std::to_string(damaged) + ")";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = m_dir.file("damaged.pcap");
        std::filesystem::remove(Capture::index_filename(path));
        vorlan_test::write_file(path, c.bytes);
        ASSERT_TRUE(m_capture.open_for_read(path).ok());
        EXPECT_EQ(2u, m_capture.get_read_index().size());
        EXPECT_EQ(1000, m_capture.get_length());
        EXPECT_FALSE(std::filesystem::exists(Capture::index_filename(path)));
        for (int round = 0; round < 2; ++round) {
            Capture::PacketHeader header;
            const uint8_t* data = nullptr;
            for (uint8_t i = 0; i < 2; ++i) {
                ASSERT_TRUE(m_capture.next_packet(header, data).ok());
                EXPECT_EQ(test_payload(100, i), Bytes(data, data + header.data_size));
            }
            SensorError error = m_capture.next_packet(header, data);
            EXPECT_EQ(VORLAN_ERROR_FILE_IO, error.code());
            EXPECT_THAT(error.message(), HasSubstr(c.at));
            EXPECT_THAT(error.message(), HasSubstr(byte));
            EXPECT_EQ(VORLAN_ERROR_EOF, m_capture.next_packet(header, data).code());
            EXPECT_EQ(uint64_t(round + 1), m_capture.skip_counters().broken_header);
            // Rewinding plays it all again, and tells the damage again.
            ASSERT_TRUE(m_capture.seek(0).ok());
        }
    }

    // An index written for the whole file, or by a reader that indexed the
    // damaged record, does not describe the file as it is now.
    const std::string path = m_dir.file("cut.pcap");
    vorlan_test::write_file(path, whole);
    ASSERT_TRUE(m_capture.open_for_read(path).ok());
    EXPECT_EQ(4u, m_capture.get_read_index().size());
    vorlan_test::write_file(path, cut_at(after - 1));
    ASSERT_TRUE(m_capture.open_for_read(path).ok());
    EXPECT_EQ(2u, m_capture.get_read_index().size());
    EXPECT_EQ(1000, m_capture.get_length());
    Bytes stale(24 + 3 * 16);
    vorlan_common::store_u64le(stale.data() + 8, uint64_t(kStart));
    vorlan_common::store_u64le(stale.data() + 16, 3);
    const int64_t entries[3][2] = {{0, 24}, {1000, int64_t(damaged) - 158}, {2500, int64_t(damaged)}};
    for (int i = 0; i < 3; ++i) {
        vorlan_common::store_u64le(stale.data() + 24 + 16 * i, uint64_t(entries[i][0]));
        vorlan_common::store_u64le(stale.data() + 32 + 16 * i, uint64_t(entries[i][1]));
    }
    vorlan_test::write_file(Capture::index_filename(path), stale);
    ASSERT_TRUE(m_capture.open_for_read(path).ok());
    EXPECT_EQ(2u, m_capture.get_read_index().size());
    EXPECT_EQ(1000, m_capture.get_length());
}

TEST_F(CaptureTest, ClosedCaptureRefusesReading) {
    open(CaptureBuilder().udp(kStart, kSensorA, test_payload(10, 0)));
    m_capture.close();
    Capture::PacketHeader header;
    const uint8_t* data = nullptr;
    EXPECT_EQ(VORLAN_ERROR_NOT_OPEN, m_capture.read_packet(header, data));
}

TEST_F(CaptureTest, SeekLandsOnTheFirstRecordAtOrAfterThePosition) {
    CaptureBuilder builder;
    for (int i = 0; i < 4; ++i) {
        builder.udp(kStart + i * 100000, kSensorA, test_payload(10, uint8_t(i)));
    }
    open(builder);
    EXPECT_EQ(300000, m_capture.get_length());
    struct Case {
        int64_t position;
        VorlanSensorErrorCode code;
        int64_t landed;  // position after the seek
        uint8_t seed;    // the next packet's payload seed
    };
    const Case cases[] = {
        {0, VORLAN_SUCCESS, 0, 0},          {1, VORLAN_SUCCESS, 100000, 1},
        {150000, VORLAN_SUCCESS, 200000, 2}, {200000, VORLAN_SUCCESS, 200000, 2},
        {299999, VORLAN_SUCCESS, 300000, 3}, {300000, VORLAN_ERROR_INVALID_ARGUMENTS, 300000, 0},
        {-1, VORLAN_ERROR_INVALID_ARGUMENTS, 300000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.position);
        // Start from the end each time: a failed seek keeps the position.
        ASSERT_TRUE(m_capture.seek(299999).ok());
        SensorError error = m_capture.seek(c.position);
        EXPECT_EQ(c.code, error.code());
        EXPECT_EQ(c.landed, m_capture.get_position());
        if (c.code != VORLAN_SUCCESS) {
            EXPECT_THAT(error.message(), HasSubstr("Invalid seek position!"));
            continue;
        }
        Capture::PacketHeader header;
        const uint8_t* data = nullptr;
        ASSERT_TRUE(m_capture.next_packet(header, data).ok());
        EXPECT_EQ(test_payload(10, c.seed), Bytes(data, data + header.data_size));
    }
}

// Only a coarse index is held in memory: a seek finds its record from the
// side index on disk, or from the records themselves where there is none.
TEST_F(CaptureTest, SeekInALongCaptureLandsOnTheRightRecordWhereverTheIndexComesFrom) {
    constexpr int kRecords = 1000;  // several strides of the coarse index
    constexpr int64_t kStep = 1000;
    CaptureBuilder builder;
    for (int i = 0; i < kRecords; ++i) {
        builder.udp(kStart + i * kStep, kSensorA, test_payload(10, uint8_t(i)));
    }
    const std::string path = m_dir.file("long.pcap");
    builder.write(path);
    struct Source {
        const char* name;
        std::function<void()> prepare;
    };
    const Source sources[] = {
        {"index built at this open", [&] { std::filesystem::remove(path + ".vrn0"); }},
        {"index loaded from disk", [] {}},
        {"no index on disk", [&] {
             std::filesystem::remove(path + ".vrn0");
             std::filesystem::create_directory(path + ".vrn0");
         }},
    };
    const int64_t positions[] = {0, 1, 255 * kStep, 256 * kStep - 1, 256 * kStep, 256 * kStep + 1,
                                 511 * kStep + 500, 768 * kStep, 998 * kStep + 1, 999 * kStep - 1};
    for (const Source& source : sources) {
        SCOPED_TRACE(source.name);
        m_capture.close();
        source.prepare();
        testing::internal::CaptureStderr();  // the unwritable index is reported there
        const SensorError opened = m_capture.open_for_read(path);
        testing::internal::GetCapturedStderr();
        ASSERT_TRUE(opened.ok()) << opened.what();
        EXPECT_EQ(std::size_t(kRecords), m_capture.get_read_index().size());
        EXPECT_EQ((kRecords - 1) * kStep, m_capture.get_length());
        for (const int64_t position : positions) {
            SCOPED_TRACE(position);
            const int64_t landed = (position + kStep - 1) / kStep * kStep;
            ASSERT_TRUE(m_capture.seek(position).ok());
            EXPECT_EQ(landed, m_capture.get_position());
            Capture::PacketHeader header;
            const uint8_t* data = nullptr;
            ASSERT_TRUE(m_capture.next_packet(header, data).ok());
            EXPECT_EQ(kStart + landed, header.timestamp);
            EXPECT_EQ(test_payload(10, uint8_t(landed / kStep)), Bytes(data, data + header.data_size));
        }
    }
    // The index file rewritten behind an open capture, every record placed
    // past the end: the seek lands by the records themselves.
    std::filesystem::remove(path + ".vrn0");
    m_capture.close();
    ASSERT_TRUE(m_capture.open_for_read(path).ok());
    Bytes index = vorlan_test::read_file(path + ".vrn0");
    ASSERT_EQ(24u + 16 * kRecords, index.size());
    for (int i = 0; i < kRecords; ++i) {
        vorlan_common::store_u64le(index.data() + 32 + 16 * i, uint64_t(1) << 40);
    }
    vorlan_test::write_file(path + ".vrn0", index);
    ASSERT_TRUE(m_capture.seek(600 * kStep + 1).ok());
    EXPECT_EQ(601 * kStep, m_capture.get_position());
    Capture::PacketHeader header;
    const uint8_t* data = nullptr;
    ASSERT_TRUE(m_capture.next_packet(header, data).ok());
    EXPECT_EQ(kStart + 601 * kStep, header.timestamp);
    m_capture.close();
    std::filesystem::remove(path + ".vrn0");
}

TEST_F(CaptureTest, OnePacketCaptureCanBeRewound) {
    open(CaptureBuilder().udp(kStart, kSensorA, test_payload(10, 0)));
    EXPECT_EQ(0, m_capture.get_length());
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(m_capture.seek(0).ok());
        EXPECT_EQ(1u, read_all(m_capture).size());
    }
    EXPECT_THAT(message_of(m_capture.seek(1)), HasSubstr("Invalid seek position!"));
}

// ---- The side index ------------------------------------------------------------

class CaptureIndexTest : public CaptureTest {
protected:
    void SetUp() override {
        CaptureBuilder builder;
        for (int i = 0; i < 5; ++i) {
            builder.udp(kStart + i * 1000, kSensorA, test_payload(100, uint8_t(i)));
        }
        m_path = m_dir.file("run.pcap");
        builder.write(m_path);
        ASSERT_TRUE(m_capture.open_for_read(m_path).ok());
        m_capture.close();
        m_index = vorlan_test::read_file(index_path());
    }

    std::string index_path() const { return m_path + ".vrn0"; }

    std::string m_path;
    Bytes m_index;  // as the library wrote it
};

TEST_F(CaptureIndexTest, IndexFileListsEveryRecord) {
    ASSERT_EQ(24u + 5 * 16, m_index.size());
    EXPECT_EQ(0u, vorlan_common::load_u64le(m_index.data()));
    EXPECT_EQ(uint64_t(kStart), vorlan_common::load_u64le(m_index.data() + 8));
    EXPECT_EQ(5u, vorlan_common::load_u64le(m_index.data() + 16));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(uint64_t(i * 1000), vorlan_common::load_u64le(m_index.data() + 24 + 16 * i));
        EXPECT_EQ(uint64_t(24 + i * (16 + 142)), vorlan_common::load_u64le(m_index.data() + 32 + 16 * i));
    }
}

TEST_F(CaptureIndexTest, ValidIndexIsLoadedAsStored) {
    // A plausible index that differs from the file's real times: seeking
    // follows the stored one, so it was loaded, not rebuilt.
    Bytes index = m_index;
    vorlan_common::store_u64le(index.data() + 24 + 16 * 2, 1500);
    vorlan_test::write_file(index_path(), index);
    ASSERT_TRUE(m_capture.open_for_read(m_path).ok());
    ASSERT_TRUE(m_capture.seek(1200).ok());
    EXPECT_EQ(1500, m_capture.get_position());
    EXPECT_EQ(index, vorlan_test::read_file(index_path()));
}

TEST_F(CaptureIndexTest, DamagedIndexIsRebuiltAndRewritten) {
    struct Case {
        const char* name;
        std::function<void(Bytes&)> damage;
    };
    const Case cases[] = {
        {"another version", [](Bytes& b) { vorlan_common::store_u64le(b.data(), 1); }},
        {"no entries", [](Bytes& b) { vorlan_common::store_u64le(b.data() + 16, 0); b.resize(24); }},
        {"extra bytes", [](Bytes& b) { b.push_back(0); }},
        {"cut short", [](Bytes& b) { b.resize(b.size() - 3); }},
        {"header cut", [](Bytes& b) { b.resize(10); }},
        {"count beyond the file", [](Bytes& b) { vorlan_common::store_u64le(b.data() + 16, uint64_t(1) << 60); }},
        {"wrong start time", [](Bytes& b) { vorlan_common::store_u64le(b.data() + 8, uint64_t(kStart + 1)); }},
        {"last entry not the last record", [](Bytes& b) { b.resize(b.size() - 16); vorlan_common::store_u64le(b.data() + 16, 4); }},
        {"pointers out of order",
         [](Bytes& b) {
             const uint64_t second = vorlan_common::load_u64le(b.data() + 48);
             vorlan_common::store_u64le(b.data() + 48, vorlan_common::load_u64le(b.data() + 64));
             vorlan_common::store_u64le(b.data() + 64, second);
         }},
        {"pointer outside the file", [](Bytes& b) { vorlan_common::store_u64le(b.data() + 32 + 16 * 4, uint64_t(1) << 40); }},
        // Far apart either way: their distance does not fit 64 bits.
        {"pointers at the ends of the range",
         [](Bytes& b) {
             vorlan_common::store_u64le(b.data() + 32 + 16 * 1, uint64_t(INT64_MAX) - 7);
             vorlan_common::store_u64le(b.data() + 32 + 16 * 2, uint64_t(INT64_MIN) + 5);
         }},
        {"empty file", [](Bytes& b) { b.clear(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes index = m_index;
        c.damage(index);
        vorlan_test::write_file(index_path(), index);
        ASSERT_TRUE(m_capture.open_for_read(m_path).ok());
        EXPECT_EQ(4000, m_capture.get_length());
        EXPECT_EQ(5u, read_all(m_capture).size());
        m_capture.close();
        EXPECT_EQ(m_index, vorlan_test::read_file(index_path()));
    }
}

TEST_F(CaptureIndexTest, CaptureOpensWhenItsIndexCannotBeWritten) {
    // A directory in the index file's place can be neither read nor written,
    // as in a folder without write permission (which would not stop root).
    std::filesystem::remove(index_path());
    std::filesystem::create_directory(index_path());
    testing::internal::CaptureStderr();
    SensorError error = m_capture.open_for_read(m_path);
    const std::string report = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(error.ok()) << error.what();
    EXPECT_THAT(report, HasSubstr("Error not used: "));
    EXPECT_EQ(5u, read_all(m_capture).size());
    ASSERT_TRUE(m_capture.seek(2000).ok());
    EXPECT_EQ(2000, m_capture.get_position());
}

// ---- Every form a capture comes in ------------------------------------------------

// Each form gives the packets of the classic capture, with an index that is
// stored, believed when it is opened again, and seeks as the classic one
// does. libpcap reads the same records from each form libpcap can hold.
TEST_F(CaptureTest, EveryCaptureFormReadsIndexesAndSeeksAsTheClassicOne) {
    CaptureBuilder classic;
    for (int i = 0; i < 10; ++i) {
        classic.udp(kStart + i * 100000, i % 2 == 0 ? kSensorA : kSensorB, test_payload(200, uint8_t(i)));
    }
    for (const Bytes& frame : udp_fragments(from(kSensorA, 77), test_payload(4000, 99), 1480)) {
        classic.record(kStart + 1000000, frame);
    }
    const std::vector<Packet> expected = read_back(classic);
    ASSERT_EQ(11u, expected.size());
    const std::size_t records = m_capture.get_read_index().size();
    for (vorlan_test::CaptureForm form : vorlan_test::all_capture_forms()) {
        SCOPED_TRACE(vorlan_test::form_name(form));
        const std::string path = m_dir.file(std::string(vorlan_test::form_name(form)) + ".cap");
        vorlan_test::write_file(path, vorlan_test::reform(classic.bytes(), form));
        for (int open = 0; open < 2; ++open) {
            // The second open loads the index the first one stored.
            ASSERT_TRUE(m_capture.open_for_read(path).ok());
            EXPECT_TRUE(std::filesystem::exists(Capture::index_filename(path)));
            EXPECT_EQ(records, m_capture.get_read_index().size());
            EXPECT_EQ(1000000, m_capture.get_length());
            const std::vector<Packet> packets = read_all(m_capture);
            ASSERT_EQ(expected.size(), packets.size());
            for (std::size_t i = 0; i < packets.size(); ++i) {
                EXPECT_EQ(expected[i].source, packets[i].source) << i;
                EXPECT_EQ(expected[i].timestamp, packets[i].timestamp) << i;
                EXPECT_EQ(expected[i].payload, packets[i].payload) << i;
            }
            ASSERT_TRUE(m_capture.seek(650000).ok());
            Capture::PacketHeader header;
            const uint8_t* data = nullptr;
            ASSERT_TRUE(m_capture.next_packet(header, data).ok());
            EXPECT_EQ(kStart + 700000, header.timestamp);
            EXPECT_EQ(expected[7].payload, Bytes(data, data + header.data_size));
        }
        if (form == vorlan_test::CaptureForm::pcapng_two_interfaces ||
            form == vorlan_test::CaptureForm::pcapng_two_sections) {
            continue;  // libpcap holds one link type and one byte order per capture
        }
        char errors[PCAP_ERRBUF_SIZE] = {};
        pcap_t* pcap = pcap_open_offline(path.c_str(), errors);
        ASSERT_NE(nullptr, pcap) << errors;
        pcap_pkthdr* header = nullptr;
        const u_char* frame = nullptr;
        std::size_t n = 0;
        while (pcap_next_ex(pcap, &header, &frame) == 1) {
            if (n == 3) {
                EXPECT_EQ(kStart / kSecond, header->ts.tv_sec);
                EXPECT_EQ(300000, header->ts.tv_usec);
            }
            ++n;
        }
        pcap_close(pcap);
        EXPECT_EQ(records, n);
    }
}

// Two captures merged by appending the earlier after the later: the length
// is the span from the earliest record to the latest, and every packet reads.
TEST_F(CaptureTest, LengthSpansEveryRecordWhenTimeGoesBackwards) {
    CaptureBuilder merged;
    for (int i = 0; i < 3; ++i) {
        merged.udp(kStart + 10 * kSecond + i * kSecond, kSensorA, test_payload(30, uint8_t(i)));
    }
    for (int i = 0; i < 3; ++i) {
        merged.udp(kStart + i * kSecond, kSensorB, test_payload(30, uint8_t(10 + i)));
    }
    EXPECT_EQ(6u, read_back(merged).size());
    EXPECT_EQ(12 * kSecond, m_capture.get_length());
    // The first record in file order at or after the position.
    ASSERT_TRUE(m_capture.seek(kSecond + 1).ok());
    Capture::PacketHeader header;
    const uint8_t* data = nullptr;
    ASSERT_TRUE(m_capture.next_packet(header, data).ok());
    EXPECT_EQ(kStart + 12 * kSecond, header.timestamp);
}

}  // namespace
}  // namespace vorlan_sdk
