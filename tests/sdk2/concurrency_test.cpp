// Several data sources feeding the chain while client threads register and
// remove parsers and listeners and query the registry. Run under
// ThreadSanitizer (make check-tsan) this shows the receive path, the
// listener lists and the registry free of data races; in any build it
// checks that no record is ever seen torn or freed.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "library_fixture.h"
#include "sensors.h"
#include "support/point_packet_builder.h"

namespace vorlan_sdk2_test {
namespace {

constexpr int kFeeders = 3;
constexpr int kPayloadsPerFeeder = 600;
constexpr uint64_t kSharedSensor = 0x0A0000FE;

// Trailing bytes that say how many of them there are, so a record whose
// size and contents disagree (torn, or read after being replaced) shows.
std::vector<uint8_t> trailing_of_length(size_t n) { return std::vector<uint8_t>(n, static_cast<uint8_t>(n)); }

struct Checks {
    std::atomic<uint64_t> points{0};
    std::atomic<uint64_t> bad_points{0};
    std::atomic<uint64_t> records{0};
    std::atomic<uint64_t> bad_records{0};
    std::atomic<uint64_t> lines{0};
};

void count_points(uint64_t, int64_t, size_t n_points, size_t stride, const uint8_t* points, void* user_data) {
    auto* checks = static_cast<Checks*>(user_data);
    for (size_t i = 0; i < n_points; ++i) {
        VorlanPoint point;
        std::memcpy(&point, points + i * stride, sizeof(point));
        if (point.channel_id != static_cast<uint8_t>(i)) {
            ++checks->bad_points;
        }
    }
    checks->points += n_points;
}

void check_record(uint64_t, const VorlanSensor* info, void* user_data) {
    auto* checks = static_cast<Checks*>(user_data);
    const auto* bytes = reinterpret_cast<const uint8_t*>(info);
    const size_t trailing = info->info_size - sizeof(VorlanSensor);
    for (size_t i = 0; i < trailing; ++i) {
        if (bytes[sizeof(VorlanSensor) + i] != static_cast<uint8_t>(trailing)) {
            ++checks->bad_records;
            break;
        }
    }
    ++checks->records;
}

void count_line(uint64_t, const char*, void* user_data) { ++static_cast<Checks*>(user_data)->lines; }

void passing_points(uint64_t, int64_t, size_t, size_t, const uint8_t*, void*) {}
void passing_info(uint64_t, const VorlanSensor*, void*) {}
void passing_line(uint64_t, const char*, void*) {}
int declining_parser(uint64_t, int64_t, const uint8_t*, size_t, void*) { return -1; }

TEST_F(LibraryTest, FeedingRegisteringAndQueryingAtOnceIsSafe) {
    Checks checks;
    ASSERT_EQ(VorlanListenPoints(count_points, &checks), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanListenSensorInfo(check_record, &checks), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanListenSerialLines(count_line, &checks), VORLAN_SUCCESS);

    std::vector<vorlan_test::PointRecord> points(100);
    for (size_t i = 0; i < points.size(); ++i) {
        points[i].channel_id = static_cast<uint8_t>(i);
    }
    const auto stdv = vorlan_test::build_stdv_packet(1, points);
    const auto prefixed_sta0 = vorlan_test::build_sta0_packet(1, 0, points, true);
    const auto nmea = vorlan_test::build_nmea_packet("$GPGGA,1");
    std::vector<std::vector<uint8_t>> infos;
    for (size_t trailing : {0, 5, 24, 130}) {
        vorlan_test::InfzFields fields;
        fields.sync_source = trailing % 2 ? 1 : 0;
        fields.model = static_cast<uint16_t>(trailing);
        fields.trailing = trailing_of_length(trailing);
        infos.push_back(vorlan_test::build_infz_packet(fields));
    }

    std::atomic<int> feeders_left{kFeeders};
    std::vector<std::thread> threads;
    for (int f = 0; f < kFeeders; ++f) {
        threads.emplace_back([&, f] {
            const uint64_t own_sensor = 0x0A000001 + f;
            for (int k = 0; k < kPayloadsPerFeeder; ++k) {
                const std::vector<uint8_t>& info = infos[(k + f) % infos.size()];
                EXPECT_EQ(VorlanReceiveData(own_sensor, k, stdv.data(), stdv.size()), VORLAN_SUCCESS);
                EXPECT_EQ(VorlanReceiveData(kSharedSensor, k, info.data(), info.size()), VORLAN_SUCCESS);
                EXPECT_EQ(VorlanReceiveData(own_sensor, k, info.data(), info.size()), VORLAN_SUCCESS);
                EXPECT_EQ(VorlanReceiveData(own_sensor, k, prefixed_sta0.data(), prefixed_sta0.size()),
                          VORLAN_SUCCESS);
                EXPECT_EQ(VorlanReceiveData(own_sensor, k, nmea.data(), nmea.size()), VORLAN_SUCCESS);
            }
            --feeders_left;
        });
    }
    // Registration churn on every list, each thread with its own pairs.
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&, r] {
            void* mine = &threads + r;
            while (feeders_left.load() > 0) {
                EXPECT_EQ(VorlanRegisterParser(declining_parser, mine), VORLAN_SUCCESS);
                EXPECT_EQ(VorlanListenPoints(passing_points, mine), VORLAN_SUCCESS);
                EXPECT_EQ(VorlanListenSensorInfo(passing_info, mine), VORLAN_SUCCESS);
                EXPECT_EQ(VorlanListenSerialLines(passing_line, mine), VORLAN_SUCCESS);
                EXPECT_EQ(VorlanUnregisterParser(declining_parser, mine), VORLAN_SUCCESS);
                EXPECT_EQ(VorlanUnlistenPoints(passing_points, mine), VORLAN_SUCCESS);
                EXPECT_EQ(VorlanUnlistenSensorInfo(passing_info, mine), VORLAN_SUCCESS);
                EXPECT_EQ(VorlanUnlistenSerialLines(passing_line, mine), VORLAN_SUCCESS);
            }
        });
    }
    // Queries, including the aggregator's, while the shared record is replaced.
    threads.emplace_back([&] {
        while (feeders_left.load() > 0) {
            const int64_t count = VorlanGetSensorCount();
            EXPECT_GE(count, 0);
            EXPECT_LE(count, kFeeders + 1);
            VorlanSensor copy;
            for (int64_t i = 0; i < count; ++i) {
                if (VorlanGetSensorInformationByIndex(static_cast<size_t>(i), &copy) == VORLAN_SUCCESS) {
                    EXPECT_EQ(copy.info_size, 90u);
                }
            }
            if (VorlanGetSensorInformation(kSharedSensor, &copy) == VORLAN_SUCCESS) {
                EXPECT_EQ(copy.handle, kSharedSensor);
            }
            (void)vorlan_sdk2::isTimeSynced(kSharedSensor);
            (void)vorlan_sdk2::isFixed10HzScan(kSharedSensor);
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }

    const uint64_t payloads = static_cast<uint64_t>(kFeeders) * kPayloadsPerFeeder;
    EXPECT_EQ(checks.points.load(), 2 * payloads * points.size());
    EXPECT_EQ(checks.bad_points.load(), 0u);
    EXPECT_EQ(checks.records.load(), 2 * payloads);
    EXPECT_EQ(checks.bad_records.load(), 0u);
    EXPECT_EQ(checks.lines.load(), payloads);
    EXPECT_EQ(VorlanGetSensorCount(), kFeeders + 1);
}

}  // namespace
}  // namespace vorlan_sdk2_test
