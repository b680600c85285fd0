#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "library_fixture.h"
#include "support/point_packet_builder.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2_test {
namespace {

using vorlan_test::build_sta0_packet;
using vorlan_test::build_stdv_packet;
using vorlan_test::PointRecord;

void on_points(uint64_t, int64_t, size_t, size_t, const uint8_t*, void*) {}
void on_frames(uint64_t, int64_t, size_t, size_t, const uint8_t*, void*) {}
void on_info(uint64_t, const VorlanSensor*, void*) {}
void on_line(uint64_t, const char*, void*) {}

// A client parser that notes the payloads it saw in its trace and takes
// them when told to.
struct ParserTrace {
    std::string trace;
};
struct ClientParser {
    char letter;
    int result;
    ParserTrace* trace;
};
int client_parser(uint64_t, int64_t, const uint8_t*, size_t, void* user_data) {
    auto* self = static_cast<ClientParser*>(user_data);
    self->trace->trace += self->letter;
    return self->result;
}

struct Call {
    const char* name;
    std::function<int64_t()> call;
    bool built;  // false: a later stage of the library, refused for now
};

// Every function that needs the library initialised, with harmless arguments.
std::vector<Call> calls_needing_initialisation() {
    static VorlanSensor sensor;
    static VorlanFifoedFrame frame;
    static VorlanFrameArrays arrays;
    static uint64_t replay;
    static const uint8_t byte = 0;
    return {
        {"VorlanDeinitialize", [] { return VorlanDeinitialize(); }, true},
        {"VorlanRegisterParser", [] { return VorlanRegisterParser(client_parser, nullptr); }, true},
        {"VorlanUnregisterParser", [] { return VorlanUnregisterParser(client_parser, nullptr); }, true},
        {"VorlanReceiveData", [] { return VorlanReceiveData(1, 0, &byte, 1); }, true},
        {"VorlanListenPoints", [] { return VorlanListenPoints(on_points, nullptr); }, true},
        {"VorlanUnlistenPoints", [] { return VorlanUnlistenPoints(on_points, nullptr); }, true},
        {"VorlanListenSerialLines", [] { return VorlanListenSerialLines(on_line, nullptr); }, true},
        {"VorlanUnlistenSerialLines", [] { return VorlanUnlistenSerialLines(on_line, nullptr); }, true},
        {"VorlanListenSensorInfo", [] { return VorlanListenSensorInfo(on_info, nullptr); }, true},
        {"VorlanUnlistenSensorInfo", [] { return VorlanUnlistenSensorInfo(on_info, nullptr); }, true},
        {"VorlanGetSensorCount", [] { return VorlanGetSensorCount(); }, true},
        {"VorlanGetSensorInformation", [] { return VorlanGetSensorInformation(1, &sensor); }, true},
        {"VorlanGetSensorInformationByIndex", [] { return VorlanGetSensorInformationByIndex(0, &sensor); }, true},
        {"VorlanListenFrames", [] { return VorlanListenFrames(0, on_frames, nullptr); }, true},
        {"VorlanUnlistenFrames", [] { return VorlanUnlistenFrames(on_frames, nullptr); }, true},
        {"VorlanEnableFrameFifo", [] { return VorlanEnableFrameFifo(0, 2); }, true},
        {"VorlanDisableFrameFifo", [] { return VorlanDisableFrameFifo(); }, true},
        {"VorlanFrameFifoGet", [] { return VorlanFrameFifoGet(&frame, 1); }, true},
        {"VorlanFrameFifoPutBack", [] { return VorlanFrameFifoPutBack(); }, true},
        {"VorlanFrameFifoRelease", [] { return VorlanFrameFifoRelease(); }, true},
        {"VorlanFrameFifoEmpty", [] { return VorlanFrameFifoEmpty(); }, true},
        {"VorlanFrameFifoFull", [] { return VorlanFrameFifoFull(); }, true},
        {"VorlanFrameFifoSize", [] { return VorlanFrameFifoSize(); }, true},
        {"VorlanFrameFifoPeekFrameNumPoints", [] { return VorlanFrameFifoPeekFrameNumPoints(1); }, true},
        {"VorlanFrameFifoFillArray", [] { return VorlanFrameFifoFillArray(&arrays, 1); }, true},
        {"VorlanFrameFifoGetSOA",
         [] { return VorlanFrameFifoGetSOA(&frame, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1); },
         true},
        {"VorlanStartNetworking", [] { return VorlanStartNetworking(); }, true},
        {"VorlanStartNetworkingOnPort", [] { return VorlanStartNetworkingOnPort(0); }, true},
        {"VorlanStartNetworkingMulticast",
         [] { return VorlanStartNetworkingMulticast("239.0.0.1", "127.0.0.1", 0); }, true},
        {"VorlanStopNetworking", [] { return VorlanStopNetworking(); }, true},
        {"VorlanStartAsyncRelay", [] { return VorlanStartAsyncRelay(4); }, true},
        {"VorlanStopAsyncRelay", [] { return VorlanStopAsyncRelay(); }, true},
        {"VorlanReplayLoadPcap", [] { return VorlanReplayLoadPcap("none.pcap", 0, &replay); }, true},
        {"VorlanReplayUnloadPcap", [] { return VorlanReplayUnloadPcap(1); }, true},
        {"VorlanReplayPlay", [] { return VorlanReplayPlay(1); }, true},
        {"VorlanReplayPlayToFinish", [] { return VorlanReplayPlayToFinish(1); }, true},
        {"VorlanReplayPause", [] { return VorlanReplayPause(1); }, true},
        {"VorlanReplayNextFrame", [] { return VorlanReplayNextFrame(1); }, true},
        {"VorlanReplaySeek", [] { return VorlanReplaySeek(1, 0); }, true},
        {"VorlanReplayGetIndexPosition", [] { return VorlanReplayGetIndexPosition(1); }, true},
        {"VorlanReplayGetLength", [] { return VorlanReplayGetLength(1); }, true},
        {"VorlanReplaySetSpeed", [] { return VorlanReplaySetSpeed(1, 100); }, true},
        {"VorlanReplayGetSpeed", [] { return VorlanReplayGetSpeed(1); }, true},
        {"VorlanReplaySetAutoReplay", [] { return VorlanReplaySetAutoReplay(1, 1); }, true},
        {"VorlanReplayIsFinished", [] { return VorlanReplayIsFinished(1); }, true},
        {"VorlanReplayIsPaused", [] { return VorlanReplayIsPaused(1); }, true},
        {"VorlanReplayGetCount", [] { return int(VorlanReplayGetCount(1, VORLAN_REPLAY_COUNT_DATAGRAMS)); }, true},
        {"VorlanEnableLegacyTranslation", [] { return VorlanEnableLegacyTranslation(); }, true},
        {"VorlanDisableLegacyTranslation", [] { return VorlanDisableLegacyTranslation(); }, true},
    };
}

TEST(Framework, RefusesEverythingButTheVersionQueriesWhileUninitialised) {
    for (const Call& call : calls_needing_initialisation()) {
        EXPECT_EQ(call.call(), VORLAN_ERROR_NOT_INITIALIZED) << call.name;
    }
    EXPECT_EQ(VorlanIsInitialized(), 0);
    EXPECT_EQ(VorlanGetSdkVersion(), 1507330);
    EXPECT_STREQ(VorlanGetErrorCodeName(VORLAN_ERROR_NOT_INITIALIZED), "VORLAN_ERROR_NOT_INITIALIZED");
    // Answers without initialisation: no capture is loaded under handle 1.
    EXPECT_EQ(VorlanReplayGetSeekPosition(1), VORLAN_ERROR_INVALID_ARGUMENTS);
}

TEST_F(LibraryTest, LaterStagesRefuseAsNotSupportedOnceInitialised) {
    for (const Call& call : calls_needing_initialisation()) {
        if (!call.built) {
            EXPECT_EQ(call.call(), VORLAN_ERROR_NOT_SUPPORTED) << call.name;
        }
    }
    EXPECT_EQ(VorlanGetSdkVersion(), 1507330);
}

TEST(Framework, InitialisesOnlyWithItsInterfaceVersionAndOnlyOnce) {
    EXPECT_EQ(VorlanInitialize(202), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(VorlanInitialize(204), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(VorlanIsInitialized(), 0);
    EXPECT_EQ(VorlanInitialize(203), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanInitialize(203), VORLAN_ERROR_ALREADY_INITIALIZED);
    EXPECT_EQ(VorlanIsInitialized(), 1);
    EXPECT_EQ(VorlanDeinitialize(), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanDeinitialize(), VORLAN_ERROR_NOT_INITIALIZED);
}

TEST(Framework, NamesEveryCodeItAnswersWithAndNothingElse) {
    const std::vector<std::pair<int, const char*>> names = {
        {0, "VORLAN_SUCCESS"},
        {-1, "VORLAN_ERROR_GENERIC"},
        {-2, "VORLAN_ERROR_OUT_OF_MEMORY"},
        {-4, "VORLAN_ERROR_SENSOR_NOT_FOUND"},
        {-5, "VORLAN_ERROR_SDK_VERSION_MISMATCH"},
        {-6, "VORLAN_ERROR_COMMUNICATION"},
        {-7, "VORLAN_ERROR_TOO_MANY_CALLBACKS"},
        {-8, "VORLAN_ERROR_INVALID_ARGUMENTS"},
        {-9, "VORLAN_ERROR_ALREADY_INITIALIZED"},
        {-10, "VORLAN_ERROR_NOT_INITIALIZED"},
        {-11, "VORLAN_ERROR_INVALID_FILE_TYPE"},
        {-12, "VORLAN_ERROR_FILE_IO"},
        {-13, "VORLAN_ERROR_CORRUPT_FILE"},
        {-14, "VORLAN_ERROR_NOT_OPEN"},
        {-15, "VORLAN_ERROR_EOF"},
        {-16, "VORLAN_ERROR_NOT_SUPPORTED"},
        {-17, "VORLAN_ERROR_INVALID_RESPONSE"},
        {-18, "VORLAN_ERROR_INVALID_STATE"},
        {-19, "VORLAN_ERROR_NOT_ENABLED"},
        {-20, "VORLAN_ERROR_TIMEOUT"},
        {-1000, "VORLAN_FAULT_INTERNAL"},
        {-1001, "VORLAN_FAULT_EXTREME_TEMPERATURE"},
        {-1002, "VORLAN_FAULT_EXTREME_HUMIDITY"},
        {-1003, "VORLAN_FAULT_EXTREME_ACCELERATION"},
        {-1004, "VORLAN_FAULT_ABNORMAL_FOV"},
        {-1005, "VORLAN_FAULT_ABNORMAL_FRAME_RATE"},
        {-1006, "VORLAN_FAULT_MOTOR_MALFUNCTION"},
        {-1007, "VORLAN_FAULT_LASER_MALFUNCTION"},
        {-1008, "VORLAN_FAULT_DETECTOR_MALFUNCTION"},
        {-3, ""},
        {5, ""},
        {-21, ""},
        {-999, ""},
        {-1009, ""},
        {INT_MIN, ""},
        {INT_MAX, ""},
    };
    for (const auto& entry : names) {
        const char* name = VorlanGetErrorCodeName(entry.first);
        ASSERT_NE(name, nullptr) << entry.first;
        EXPECT_STREQ(name, entry.second) << entry.first;
    }
}

// The chain's order, seen by client parsers around the built-in point parser.
TEST_F(LibraryTest, ClientParsersRunFirstLatestFirstAndCanTakeAPayload) {
    PointBatches points;
    ASSERT_EQ(VorlanListenPoints(PointBatches::record, &points), VORLAN_SUCCESS);
    ParserTrace trace;
    ClientParser first{'1', -1, &trace};
    ClientParser second{'2', -1, &trace};
    const auto stdv = build_stdv_packet(7, {PointRecord{}});

    ASSERT_EQ(VorlanRegisterParser(client_parser, &first), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanRegisterParser(client_parser, &second), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanRegisterParser(client_parser, &first), VORLAN_SUCCESS);  // stays single
    EXPECT_EQ(receive(1, stdv), VORLAN_SUCCESS);
    EXPECT_EQ(trace.trace, "21");
    EXPECT_EQ(points.batches.size(), 1u);

    second.result = 0;  // takes it: the point parser never sees it
    trace.trace.clear();
    EXPECT_EQ(receive(1, stdv), VORLAN_SUCCESS);
    EXPECT_EQ(trace.trace, "2");
    EXPECT_EQ(points.batches.size(), 1u);

    EXPECT_EQ(VorlanUnregisterParser(client_parser, &second), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanUnregisterParser(client_parser, &second), VORLAN_SUCCESS);  // gone already: still 0
    EXPECT_EQ(VorlanRegisterParser(nullptr, &second), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(VorlanUnregisterParser(nullptr, &second), VORLAN_ERROR_INVALID_ARGUMENTS);
    trace.trace.clear();
    EXPECT_EQ(receive(1, stdv), VORLAN_SUCCESS);
    EXPECT_EQ(trace.trace, "1");
    EXPECT_EQ(points.batches.size(), 2u);
    EXPECT_EQ(VorlanUnregisterParser(client_parser, &first), VORLAN_SUCCESS);
}

// A prefixed "STA0" payload is published by the trusted parser and passed
// on, so a second copy of that parser would publish it twice.
TEST(Framework, ReinitialisingKeepsOneCopyOfEachParserAndTheClientsFirst) {
    ParserTrace trace;
    ClientParser client{'c', -1, &trace};
    const auto prefixed = build_sta0_packet(1, 0, {PointRecord{}, PointRecord{}}, true);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(VorlanInitialize(203), VORLAN_SUCCESS);
        if (round == 0) {
            ASSERT_EQ(VorlanRegisterParser(client_parser, &client), VORLAN_SUCCESS);
        }
        PointBatches points;
        ASSERT_EQ(VorlanListenPoints(PointBatches::record, &points), VORLAN_SUCCESS);
        trace.trace.clear();
        ASSERT_EQ(VorlanReceiveData(1, 0, prefixed.data(), prefixed.size()), VORLAN_SUCCESS);
        EXPECT_EQ(points.batches.size(), 1u);
        EXPECT_EQ(trace.trace, "c");
        ASSERT_EQ(VorlanDeinitialize(), VORLAN_SUCCESS);
        // Listeners are gone with the deinitialisation.
        ASSERT_EQ(VorlanInitialize(203), VORLAN_SUCCESS);
        ASSERT_EQ(VorlanReceiveData(1, 0, prefixed.data(), prefixed.size()), VORLAN_SUCCESS);
        EXPECT_EQ(points.batches.size(), 1u);
        ASSERT_EQ(VorlanDeinitialize(), VORLAN_SUCCESS);
    }
    ASSERT_EQ(VorlanInitialize(203), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanUnregisterParser(client_parser, &client), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanDeinitialize(), VORLAN_SUCCESS);
}

TEST_F(LibraryTest, DeinitialisingForgetsListenersAndSensors) {
    PointBatches points;
    SensorRecords sensors;
    SerialLines lines;
    ASSERT_EQ(VorlanListenPoints(PointBatches::record, &points), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanListenSensorInfo(SensorRecords::record, &sensors), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanListenSerialLines(SerialLines::record, &lines), VORLAN_SUCCESS);
    vorlan_test::InfzFields info;
    ASSERT_EQ(receive(9, vorlan_test::build_infz_packet(info)), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanGetSensorCount(), 1);

    ASSERT_EQ(VorlanDeinitialize(), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanInitialize(203), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanGetSensorCount(), 0);
    EXPECT_EQ(receive(9, vorlan_test::build_infz_packet(info)), VORLAN_SUCCESS);
    EXPECT_EQ(receive(9, build_stdv_packet(1, {PointRecord{}})), VORLAN_SUCCESS);
    EXPECT_EQ(receive(9, vorlan_test::build_nmea_packet("$GPRMC")), VORLAN_SUCCESS);
    EXPECT_EQ(sensors.records.size(), 1u);
    EXPECT_TRUE(points.batches.empty());
    EXPECT_TRUE(lines.lines.empty());
    // The same listeners may register again.
    EXPECT_EQ(VorlanListenPoints(PointBatches::record, &points), VORLAN_SUCCESS);
}

TEST_F(LibraryTest, ReceivingRefusesMissingBytesButAcceptsAnEmptyPayload) {
    EXPECT_EQ(VorlanReceiveData(1, 0, nullptr, 64), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(VorlanReceiveData(1, 0, nullptr, 0), VORLAN_SUCCESS);
    const uint8_t byte = 0;
    EXPECT_EQ(VorlanReceiveData(1, 0, &byte, 0), VORLAN_SUCCESS);
}

}  // namespace
}  // namespace vorlan_sdk2_test
