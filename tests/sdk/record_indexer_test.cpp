// A capture plays from its first packet while the rest of it is indexed: the
// indexer is held at its test hook once the foreground records are indexed,
// and the capture is read and sought meanwhile.
#include "record_indexer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "capture.h"
#include "support/capture_builder.h"
#include "support/capture_forms.h"
#include "support/eventually.h"
#include "support/held_gate.h"

namespace vorlan_sdk {
namespace {

using vorlan_test::Bytes;
using vorlan_test::HeldGate;
using vorlan_test::test_payload;

constexpr int64_t kStart = int64_t(1700000000) * 1000000;
constexpr int64_t kStep = 1000;  // µs between records
constexpr uint32_t kSensor = vorlan_test::ipv4(192, 168, 1, 10);
// Twice the foreground, so that most records are indexed behind the reader.
constexpr int kRecords = int(2 * RecordIndexer::kForegroundBytes / 1000);

class RecordIndexerTest : public testing::TestWithParam<vorlan_test::CaptureForm> {
protected:
    void SetUp() override {
        vorlan_test::CaptureBuilder builder;
        for (int i = 0; i < kRecords; ++i) {
            builder.udp(kStart + i * kStep, kSensor, test_payload(950, uint8_t(i)));
        }
        m_path = m_dir.file("long.cap");
        vorlan_test::write_file(m_path, vorlan_test::reform(builder.bytes(), GetParam()));
        HeldGate::instance().close();
        RecordIndexer::set_foreground_hook(&HeldGate::pass);
    }
    void TearDown() override {
        // A failed expectation must not leave the indexer held.
        HeldGate::instance().open();
        m_capture.close();
        RecordIndexer::set_foreground_hook(nullptr);
    }
    // The next packet, expected to be record `i`.
    void expect_record(int i) {
        Capture::PacketHeader header;
        const uint8_t* data = nullptr;
        ASSERT_TRUE(m_capture.next_packet(header, data).ok());
        EXPECT_EQ(kStart + i * kStep, header.timestamp);
        EXPECT_EQ(test_payload(950, uint8_t(i)), Bytes(data, data + header.data_size));
    }

    vorlan_test::TemporaryDirectory m_dir;
    std::string m_path;
    Capture m_capture;
};

TEST_P(RecordIndexerTest, FirstPacketsAndNearSeeksWaitNotForTheWholeIndex) {
    for (const bool side_index_written : {false, true}) {
        SCOPED_TRACE(side_index_written ? "second open" : "first open");
        if (side_index_written) {
            // A stored index is loaded whole, without the hook.
            HeldGate::instance().open();
        }
        ASSERT_TRUE(m_capture.open_for_read(m_path).ok());
        if (!side_index_written) {
            HeldGate::instance().wait_held();
            EXPECT_FALSE(m_capture.indexer()->done());
            EXPECT_FALSE(std::filesystem::exists(Capture::index_filename(m_path)) &&
                         std::filesystem::file_size(Capture::index_filename(m_path)) ==
                             Capture::kIndexHeaderSize + kRecords * Capture::kIndexEntrySize);
        }
        for (int i = 0; i < 5; ++i) {
            expect_record(i);
        }
        // Within the records indexed, a seek needs no more of the index.
        ASSERT_TRUE(m_capture.seek(100 * kStep + 1).ok());
        expect_record(101);
        HeldGate::instance().open();
        EXPECT_EQ((kRecords - 1) * kStep, m_capture.get_length());
        EXPECT_EQ(std::size_t(kRecords), m_capture.get_read_index().size());
        EXPECT_TRUE(m_capture.indexer()->on_disk());
        for (const int record : {kRecords - 2, kRecords / 2, 0, kRecords - 300}) {
            ASSERT_TRUE(m_capture.seek(record * kStep).ok());
            expect_record(record);
        }
        // The last record's time is the length, and no position.
        EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, m_capture.seek((kRecords - 1) * kStep).code());
        m_capture.close();
        HeldGate::instance().close();
    }
}

// A seek past the records indexed waits for them; closing the capture while
// it is being indexed stops the indexer, and removes its partial side index.
TEST_P(RecordIndexerTest, FarSeeksWaitAndClosingStopsIndexing) {
    ASSERT_TRUE(m_capture.open_for_read(m_path).ok());
    HeldGate::instance().wait_held();
    std::thread opener([] { HeldGate::instance().open(); });
    ASSERT_TRUE(m_capture.seek((kRecords - 2) * kStep).ok());
    expect_record(kRecords - 2);
    opener.join();

    HeldGate::instance().close();
    std::filesystem::remove(Capture::index_filename(m_path));
    ASSERT_TRUE(m_capture.open_for_read(m_path).ok());
    HeldGate::instance().wait_held();
    const std::shared_ptr<RecordIndexer> indexer = m_capture.indexer();
    std::thread closer([this] { m_capture.close(); });
    // close() joins the indexer, which stops once the gate opens.
    ASSERT_TRUE(vorlan_test::eventually([&] { return indexer->stopping(); }));
    HeldGate::instance().open();
    closer.join();
    EXPECT_TRUE(indexer->done());
    EXPECT_LT(indexer->latest(), (kRecords - 1) * kStep);
    EXPECT_FALSE(std::filesystem::exists(Capture::index_filename(m_path)) &&
                 std::filesystem::file_size(Capture::index_filename(m_path)) ==
                     Capture::kIndexHeaderSize + kRecords * Capture::kIndexEntrySize);
}

INSTANTIATE_TEST_SUITE_P(Forms, RecordIndexerTest,
                         testing::Values(vorlan_test::CaptureForm::classic, vorlan_test::CaptureForm::pcapng),
                         [](const testing::TestParamInfo<vorlan_test::CaptureForm>& info) {
                             return std::string(vorlan_test::form_name(info.param));
                         });

}  // namespace
}  // namespace vorlan_sdk
