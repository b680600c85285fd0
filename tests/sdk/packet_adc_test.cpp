// Raw detector waveforms: decoding "ADCX" and "ADBO" payloads into the
// client's record and handing it over.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core.h"
#include "packet_adc.h"
#include "support/auxiliary_packet_builder.h"

namespace vorlan_sdk {
namespace {

using vorlan_test::adbo_packet;
using vorlan_test::adcx_packet;
using vorlan_test::WaveformHeader;

WaveformHeader distinct_header() {
    WaveformHeader header;
    header.header_word_0 = -1234;
    header.header_word_1 = 4321;
    header.value_24 = 0xABCDEF;
    header.byte_a = 0xA1;
    header.byte_b = 0xB2;
    header.byte_c = 0xC3;
    header.byte_d = 0xD4;
    header.byte_e = 0xE5;
    header.word_32 = 0x89ABCDEF;
    return header;
}

std::vector<uint8_t> ramp(std::size_t count) {
    std::vector<uint8_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    return samples;
}

// A copy of a field of the packed record: gtest's matchers take references,
// which must not bind to its unaligned fields.
template <class T>
T value(T field) {
    return field;
}

SensorError decode(WaveformType type, const std::vector<uint8_t>& packet, VorlanAdcWaveform& waveform) {
    return type == WaveformType::Adcx ? decode_adcx_packet(packet.data(), packet.size(), waveform)
                                      : decode_adbo_packet(packet.data(), packet.size(), waveform);
}

// The fields of distinct_header(); "ADBO" carries no byte B, byte E or word.
void expect_distinct_header(const VorlanAdcWaveform& waveform, WaveformType type) {
    const bool adcx = type == WaveformType::Adcx;
    EXPECT_EQ(value(waveform.header_word_0), -1234);
    EXPECT_EQ(value(waveform.header_word_1), 4321);
    EXPECT_EQ(value(waveform.value_24), 0xABCDEFu);
    EXPECT_EQ(value(waveform.byte_a), 0xA1);
    EXPECT_EQ(value(waveform.byte_c), 0xC3);
    EXPECT_EQ(value(waveform.byte_d), 0xD4);
    EXPECT_EQ(value(waveform.byte_b), adcx ? 0xB2 : 0);
    EXPECT_EQ(value(waveform.byte_e), adcx ? 0xE5 : 0);
    EXPECT_EQ(value(waveform.word_32), adcx ? 0x89ABCDEFu : 0u);
}

TEST(WaveformDecodeTest, AdcxHeaderOfExactlyItsSizeHasNoSamples) {
    const std::vector<uint8_t> packet = adcx_packet(distinct_header(), {});
    ASSERT_EQ(packet.size(), 23u);
    VorlanAdcWaveform waveform;
    ASSERT_TRUE(decode(WaveformType::Adcx, packet, waveform).ok());
    expect_distinct_header(waveform, WaveformType::Adcx);
    EXPECT_EQ(value(waveform.sample_count), 0);
}

// "ADBO" samples start where "ADCX" keeps byte B, byte E and the word.
TEST(WaveformDecodeTest, SamplesFollowTheHeaderOfEitherType) {
    for (const WaveformType type : {WaveformType::Adcx, WaveformType::Adbo}) {
        const std::vector<uint8_t> samples = ramp(300);
        const std::vector<uint8_t> packet = type == WaveformType::Adcx ? adcx_packet(distinct_header(), samples)
                                                                        : adbo_packet(distinct_header(), samples);
        VorlanAdcWaveform waveform;
        ASSERT_TRUE(decode(type, packet, waveform).ok());
        expect_distinct_header(waveform, type);
        ASSERT_EQ(value(waveform.sample_count), 300);
        EXPECT_EQ(std::vector<uint8_t>(waveform.samples, waveform.samples + 300), samples);
        EXPECT_EQ(waveform.samples[300], 0);  // nothing stale past the count
    }
}

// More samples than the record holds are cut at its end, never written past it.
TEST(WaveformDecodeTest, SamplesBeyondTheRecordAreCutOff) {
    struct Case {
        WaveformType type;
        std::size_t n_samples;
        int32_t expected_count;
    };
    for (const Case& c : {Case{WaveformType::Adcx, 1400, 1400}, Case{WaveformType::Adcx, 1401, 1400},
                          Case{WaveformType::Adcx, 65000, 1400}, Case{WaveformType::Adbo, 1500, 1400}}) {
        const std::vector<uint8_t> samples = ramp(c.n_samples);
        const std::vector<uint8_t> packet = c.type == WaveformType::Adcx ? adcx_packet(distinct_header(), samples)
                                                                          : adbo_packet(distinct_header(), samples);
        VorlanAdcWaveform waveform;
        ASSERT_TRUE(decode(c.type, packet, waveform).ok()) << c.n_samples;
        EXPECT_EQ(value(waveform.sample_count), c.expected_count) << c.n_samples;
        EXPECT_EQ(std::vector<uint8_t>(waveform.samples, waveform.samples + 1400),
                  std::vector<uint8_t>(samples.begin(), samples.begin() + 1400));
    }
}

TEST(WaveformDecodeTest, PayloadShorterThanItsHeaderIsRefused) {
    struct Case {
        WaveformType type;
        std::size_t size;
        const char* message;
    };
    const std::vector<uint8_t> adcx = adcx_packet(distinct_header(), {});
    const std::vector<uint8_t> adbo = adbo_packet(distinct_header(), {});
    for (const Case& c : {Case{WaveformType::Adcx, 22, "Invalid ADCX packet size!"},
                          Case{WaveformType::Adcx, 14, "Invalid ADCX packet size!"},
                          Case{WaveformType::Adcx, 0, "Invalid ADCX packet size!"},
                          Case{WaveformType::Adbo, 13, "Invalid ADBO packet size!"},
                          Case{WaveformType::Adbo, 4, "Invalid ADBO packet size!"}}) {
        // Exactly `size` bytes on the heap, so a read past them is caught.
        const std::vector<uint8_t>& full = c.type == WaveformType::Adcx ? adcx : adbo;
        const std::vector<uint8_t> packet(full.begin(), full.begin() + c.size);
        VorlanAdcWaveform waveform;
        const SensorError error = decode(c.type, packet, waveform);
        EXPECT_EQ(error.code(), VORLAN_ERROR_COMMUNICATION) << c.size;
        EXPECT_EQ(error.message(), c.message);
        EXPECT_EQ(value(waveform.sample_count), 0);
        EXPECT_EQ(value(waveform.header_word_0), 0);
    }
}

// ---- Delivery to the client ------------------------------------------------

struct Delivered {
    static void on_waveform(VorlanSensorHandle handle, const VorlanAdcWaveform* waveform, void* self) {
        auto& delivered = *static_cast<Delivered*>(self);
        delivered.handles.push_back(handle);
        delivered.waveforms.push_back(*waveform);
    }
    static void on_error(VorlanSensorHandle handle, VorlanSensorErrorCode code, const char* message, const void*,
                         size_t, void* self) {
        auto& delivered = *static_cast<Delivered*>(self);
        delivered.errors.push_back({handle, code, message});
    }

    struct Error {
        VorlanSensorHandle handle;
        VorlanSensorErrorCode code;
        std::string message;
    };
    std::vector<VorlanSensorHandle> handles;
    std::vector<VorlanAdcWaveform> waveforms;
    std::vector<Error> errors;
};

class WaveformDeliveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CallbackManager::instance().waveform_cb.set(Delivered::on_waveform, &m_delivered).ok());
        ASSERT_TRUE(CallbackManager::instance().error_cb.set(Delivered::on_error, &m_delivered).ok());
    }
    void TearDown() override {
        CallbackManager::instance().emit_queued();
        CallbackManager::instance().clear();
    }

    Delivered m_delivered;
};

TEST_F(WaveformDeliveryTest, DecodedWaveformReachesTheCallbackWithItsHandle) {
    const std::vector<uint8_t> packet = adcx_packet(distinct_header(), ramp(10));
    handle_waveform_packet(0xC0A80102, WaveformType::Adcx, static_cast<int32_t>(packet.size()), packet.data());
    ASSERT_EQ(m_delivered.waveforms.size(), 1u);
    EXPECT_EQ(m_delivered.handles[0], 0xC0A80102u);
    EXPECT_EQ(value(m_delivered.waveforms[0].sample_count), 10);
    EXPECT_EQ(value(m_delivered.waveforms[0].byte_b), 0xB2);
}

TEST_F(WaveformDeliveryTest, ShortPayloadIsQueuedAsAnErrorOfItsSensor) {
    const std::vector<uint8_t> packet = adbo_packet(distinct_header(), {});
    handle_waveform_packet(0x0A000005, WaveformType::Adbo, 10, packet.data());
    handle_waveform_packet(0x0A000005, WaveformType::Adcx, -1, packet.data());
    EXPECT_TRUE(m_delivered.waveforms.empty());
    EXPECT_TRUE(m_delivered.errors.empty());  // queued, not yet delivered

    CallbackManager::instance().emit_queued();
    ASSERT_EQ(m_delivered.errors.size(), 2u);
    EXPECT_EQ(m_delivered.errors[0].handle, 0x0A000005u);
    EXPECT_EQ(m_delivered.errors[0].code, VORLAN_ERROR_COMMUNICATION);
    EXPECT_EQ(m_delivered.errors[0].message, "Invalid ADBO packet size!");
    EXPECT_EQ(m_delivered.errors[1].message, "Invalid ADCX packet size!");
}

}  // namespace
}  // namespace vorlan_sdk
