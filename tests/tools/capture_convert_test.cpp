// Captures in every form users bring, converted and replayed: the datagrams,
// their senders and times survive, fragments included, and replay, export
// and render take any form directly.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "capture_convert.h"
#include "capture_forms.h"
#include "capture_reader.h"
#include "commands.h"
#include "tool_run.h"

namespace vorlan_tool {
namespace {

using vorlan_test::Bytes;
using vorlan_test::CaptureBuilder;
using vorlan_test::FrameOptions;
using vorlan_test::LinkLayer;
using vorlan_test::TemporaryDirectory;

constexpr int64_t kStart = 1709294400LL * 1000000;

struct Received {
    uint32_t source;
    int64_t time;
    Bytes payload;
    bool operator==(const Received& other) const {
        return source == other.source && time == other.time && payload == other.payload;
    }
};

std::vector<Received> datagrams_of(const std::string& path) {
    vorlan_capture::CaptureReader reader;
    EXPECT_EQ(vorlan_capture::HeaderStatus::ok, reader.open(path));
    std::vector<Received> all;
    vorlan_capture::Datagram datagram;
    while (reader.next(datagram)) {
        all.push_back({datagram.source, datagram.time, Bytes(datagram.payload, datagram.payload + datagram.size)});
    }
    return all;
}

class CaptureConvertTest : public ::testing::Test {
protected:
    void SetUp() override {
        original = directory.file("sim.pcap");
        write_sim_capture(original, 1.0);
    }

    TemporaryDirectory directory;
    std::string original;
};

// Each form, converted, is the simulator's capture byte for byte; replayed
// directly, each library reads it as it is (no temporary copy) and gives the
// frames of the classic capture.
TEST_F(CaptureConvertTest, EveryFormConvertsBackToTheSameCaptureAndReplaysTheSame) {
    const ToolResult reference[] = {run_tool({"replay", original, "--sdk", "1"}),
                                    run_tool({"replay", original, "--sdk", "2"})};
    ASSERT_EQ(kExitSuccess, reference[0].code) << reference[0].err;
    ASSERT_EQ(kExitSuccess, reference[1].code) << reference[1].err;
    const Bytes classic = vorlan_test::read_file(original);
    for (CaptureForm form : {CaptureForm::pcapng, CaptureForm::nanosecond, CaptureForm::big_endian}) {
        SCOPED_TRACE(form_name(form));
        const std::string other = directory.file(std::string(form_name(form)) + ".cap");
        vorlan_test::write_file(other, reform_capture(classic, form));
        const std::string converted = directory.file(std::string(form_name(form)) + ".pcap");
        const ToolResult convert = run_tool({"convert", other, converted});
        ASSERT_EQ(kExitSuccess, convert.code) << convert.err;
        EXPECT_EQ(classic, vorlan_test::read_file(converted));

        for (int library = 1; library <= 2; ++library) {
            SCOPED_TRACE(library);
            const ToolResult replay = run_tool({"replay", other, "--sdk", std::to_string(library)});
            ASSERT_EQ(kExitSuccess, replay.code) << replay.err;
            EXPECT_EQ(std::string::npos, replay.err.find("temporary")) << replay.err;
            EXPECT_EQ(frames_and_summary_of(reference[library - 1].out), frames_and_summary_of(replay.out));
        }
    }
    // Export and render take the same path.
    const std::string pcapng = directory.file("pcapng.cap");
    EXPECT_EQ(kExitSuccess, run_tool({"render", pcapng, "--out", directory.file("frame.png")}).code);
    const ToolResult exported = run_tool({"export", pcapng, "--out", directory.file("clouds"), "--frames", "2"});
    EXPECT_EQ(kExitSuccess, exported.code) << exported.err;
}

// Every link layer the shared reader knows, with VLAN tags, IPv4 options,
// fragments and a record of another protocol: the datagrams come out the
// same from the converted capture, the other record is counted.
TEST(CaptureConvert, EveryLinkLayerKeepsItsDatagramsAndTimes) {
    struct Case {
        LinkLayer link;
        int vlan;
        uint8_t option_words;
    };
    const Case cases[] = {
        {LinkLayer::ethernet, 7, 1},      {LinkLayer::linux_cooked, -1, 0}, {LinkLayer::linux_cooked2, -1, 2},
        {LinkLayer::raw_ipv4, -1, 0},     {LinkLayer::bsd_loopback, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.link));
        TemporaryDirectory directory;
        FrameOptions options;
        options.link = c.link;
        options.vlan = c.vlan;
        options.ip_option_words = c.option_words;
        options.identification = 41;
        CaptureBuilder builder(0, CaptureBuilder::kMicrosecondMagic, c.link);
        builder.record(kStart, vorlan_test::udp_frame(options, vorlan_test::test_payload(300, 1)));
        const std::vector<Bytes> fragments =
            vorlan_test::udp_fragments(options, vorlan_test::test_payload(3000, 2), 1480);
        for (std::size_t i = 0; i < fragments.size(); ++i) {
            builder.record(kStart + 1000 + int64_t(i), fragments[i]);
        }
        FrameOptions tcp = options;
        tcp.protocol = 6;
        builder.record(kStart + 2000, vorlan_test::udp_frame(tcp, vorlan_test::test_payload(50, 3)));
        const std::string in = directory.file("in.pcap");
        const std::string out = directory.file("out.pcap");
        builder.write(in);

        ConvertReport report;
        ASSERT_TRUE(convert_capture(in, out, ConvertOptions(), report)) << report.error;
        EXPECT_EQ(1u + fragments.size() + 1u, report.records);
        EXPECT_EQ(1u + fragments.size(), report.written);
        EXPECT_EQ(1u, report.skipped.not_udp);
        EXPECT_TRUE(is_native_capture(out));
        const std::vector<Received> expected = datagrams_of(in);
        ASSERT_EQ(2u, expected.size());
        EXPECT_EQ(expected, datagrams_of(out));
    }
}

// A capture taken on two interfaces at once holds each datagram twice, a
// moment apart; --dedup keeps one of each, and nothing else.
TEST_F(CaptureConvertTest, DedupDropsOnlyTheRepeatedCopies) {
    const Bytes classic = vorlan_test::read_file(original);
    // Every record twice, the copy 30 µs later.
    CaptureBuilder doubled;
    std::size_t records = 0;
    for (std::size_t at = 24; at + 16 <= classic.size(); ++records) {
        const uint32_t included = uint32_t(classic[at + 8]) | uint32_t(classic[at + 9]) << 8 |
                                  uint32_t(classic[at + 10]) << 16 | uint32_t(classic[at + 11]) << 24;
        const int64_t time = int64_t(uint32_t(classic[at]) | uint32_t(classic[at + 1]) << 8 |
                                     uint32_t(classic[at + 2]) << 16 | uint32_t(classic[at + 3]) << 24) *
                                 1000000 +
                             (uint32_t(classic[at + 4]) | uint32_t(classic[at + 5]) << 8 |
                              uint32_t(classic[at + 6]) << 16 | uint32_t(classic[at + 7]) << 24);
        const Bytes frame(classic.begin() + std::ptrdiff_t(at + 16),
                          classic.begin() + std::ptrdiff_t(at + 16 + included));
        doubled.record(time, frame).record(time + 30, frame);
        at += 16 + included;
    }
    const std::string in = directory.file("doubled.pcap");
    doubled.write(in);

    const ToolResult kept = run_tool({"convert", in, directory.file("kept.pcap")});
    ASSERT_EQ(kExitSuccess, kept.code) << kept.err;
    EXPECT_NE(std::string::npos, kept.out.find(std::to_string(2 * records) + " written to")) << kept.out;

    const ToolResult deduped = run_tool({"convert", "--dedup", in, directory.file("once.pcap")});
    ASSERT_EQ(kExitSuccess, deduped.code) << deduped.err;
    EXPECT_NE(std::string::npos, deduped.out.find(std::to_string(records) + " duplicates")) << deduped.out;
    EXPECT_EQ(datagrams_of(original), datagrams_of(directory.file("once.pcap")));
}

// The Debian tools users write captures with, where the test run has them
// (wireshark-common's editcap and mergecap, tcpdump).
TEST_F(CaptureConvertTest, CapturesWrittenByDebianToolsConvertBackTheSame) {
    struct Case {
        std::string name;
        std::string program;
        std::string arguments;  // after the program; {in} and {out} stand for the files
        bool dedup;
    };
    const Case cases[] = {
        {"pcapng", "editcap", "-F pcapng {in} {out}", false},
        {"nanosecond", "editcap", "-F nsecpcap {in} {out}", false},
        {"merged", "mergecap", "-w {out} {in} {in}", true},
        {"tcpdump", "tcpdump", "--time-stamp-precision=nano -r {in} -w {out}", false},
    };
    const Bytes classic = vorlan_test::read_file(original);
    std::size_t ran = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string program = installed_program(c.program);
        if (program.empty()) {
            continue;
        }
        ++ran;
        const std::string written = directory.file(c.name);
        std::string arguments;
        for (std::size_t at = 0; at < c.arguments.size();) {
            if (c.arguments.compare(at, 4, "{in}") == 0) {
                arguments += "'" + original + "'";
                at += 4;
            } else if (c.arguments.compare(at, 5, "{out}") == 0) {
                arguments += "'" + written + "'";
                at += 5;
            } else {
                arguments += c.arguments[at++];
            }
        }
        ASSERT_EQ(0, std::system((program + " " + arguments + " >/dev/null 2>&1").c_str()));
        const std::string out = directory.file(c.name + ".pcap");
        std::vector<std::string> args{"convert", written, out};
        if (c.dedup) {
            args.push_back("--dedup");
        }
        const ToolResult result = run_tool(args);
        ASSERT_EQ(kExitSuccess, result.code) << result.err;
        EXPECT_EQ(classic, vorlan_test::read_file(out));
    }
    if (ran == 0) {
        GTEST_SKIP() << "none of editcap, mergecap (wireshark-common) and tcpdump is installed";
    }
}

// Pcapng stores 64-bit times; a classic record holds 32-bit seconds since
// 1970. Times the output cannot hold are pinned to its last second, never
// wrapped into another time (or overflowed on the way).
TEST(CaptureConvert, TimesPastTheClassicRangeArePinnedToItsEnd) {
    TemporaryDirectory directory;
    const Bytes payload = vorlan_test::test_payload(80, 4);
    const Bytes classic = CaptureBuilder().record(kStart, vorlan_test::udp_frame(FrameOptions(), payload)).bytes();
    struct Case {
        uint64_t pcapng_time;  // µs since 1970
        uint32_t seconds;
        uint32_t micros;
    };
    const Case cases[] = {
        {uint64_t(UINT32_MAX) * 1000000 + 999999, UINT32_MAX, 999999},  // the last time that fits
        {uint64_t(UINT32_MAX) * 1000000 + 1000000, UINT32_MAX, 999999},
        {~uint64_t(0), UINT32_MAX, 999999},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pcapng_time);
        Bytes pcapng = reform_capture(classic, CaptureForm::pcapng);
        // The first enhanced packet block follows the 28-byte section header
        // and the 20-byte interface block; its time is at bytes 12-19.
        constexpr std::size_t kTime = 28 + 20 + 12;
        for (int i = 0; i < 4; ++i) {
            pcapng[kTime + i] = uint8_t(c.pcapng_time >> (32 + 8 * i));
            pcapng[kTime + 4 + i] = uint8_t(c.pcapng_time >> (8 * i));
        }
        const std::string in = directory.file("in.pcapng");
        const std::string out = directory.file("out.pcap");
        vorlan_test::write_file(in, pcapng);
        ConvertReport report;
        ASSERT_TRUE(convert_capture(in, out, ConvertOptions(), report)) << report.error;
        const Bytes converted = vorlan_test::read_file(out);
        ASSERT_GE(converted.size(), 40u);
        EXPECT_EQ(c.seconds, capture_forms_detail::get_u32le(converted, 24));
        EXPECT_EQ(c.micros, capture_forms_detail::get_u32le(converted, 28));
        EXPECT_EQ(payload, datagrams_of(out).at(0).payload);
    }
}

TEST(CaptureConvert, WhatGivesNoDatagramFailsAndSaysWhy) {
    TemporaryDirectory directory;
    const std::string text = directory.file("notes.txt");
    vorlan_test::write_file(text, Bytes(100, 'x'));
    FrameOptions tcp;
    tcp.protocol = 6;
    const std::string no_udp = directory.file("tcp.pcap");
    CaptureBuilder()
        .record(kStart, vorlan_test::udp_frame(tcp, vorlan_test::test_payload(60, 1)))
        .record(kStart + 1000, vorlan_test::udp_frame(tcp, vorlan_test::test_payload(60, 2)))
        .write(no_udp);
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"convert", text, directory.file("a.pcap")}, "not a capture file libpcap reads"},
        {{"convert", no_udp, directory.file("b.pcap")}, "no record carries a UDP datagram"},
        // Replay of records that give nothing is a failure, and says where to look.
        {{"replay", no_udp},
         "no sensor datagram in the capture: no UDP datagram (2 records not IPv4/UDP); `vorlan check " + no_udp + "`"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const ToolResult result = run_tool(c.args);
        EXPECT_EQ(kExitFailure, result.code);
        EXPECT_NE(std::string::npos, result.err.find(c.message)) << result.err;
    }
    EXPECT_FALSE(std::filesystem::exists(directory.file("a.pcap")));
}

}  // namespace
}  // namespace vorlan_tool
