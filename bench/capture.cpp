// Packets per second read from a capture file: the library's reader alone,
// replay through the whole receive path at speed 0, and, as the ceiling,
// libpcap's own reader on the same file in the same run.
#include <benchmark/benchmark.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "capture.h"
#include "support/capture_builder.h"
#include "vorlan_sdk.h"

namespace {

constexpr std::size_t kPackets = 100000;

// One capture per payload size, written once and shared by every benchmark.
const std::string& capture_file(std::size_t payload_size) {
    static vorlan_test::TemporaryDirectory dir;
    static std::map<std::size_t, std::string> files;
    auto it = files.find(payload_size);
    if (it == files.end()) {
        const std::string path = dir.file("stream_" + std::to_string(payload_size) + ".pcap");
        // A sensor sending a datagram every 100 µs.
        vorlan_test::write_stream_capture(path, kPackets, payload_size, 100, vorlan_test::ipv4(192, 168, 1, 2));
        it = files.emplace(payload_size, path).first;
    }
    return it->second;
}

void BM_PcapNextEx(benchmark::State& state) {
    const std::string& path = capture_file(std::size_t(state.range(0)));
    std::size_t total = 0;
    for (auto _ : state) {
        char errors[PCAP_ERRBUF_SIZE];
        pcap_t* pcap = pcap_open_offline(path.c_str(), errors);
        if (pcap == nullptr) {
            state.SkipWithError(errors);
            return;
        }
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        std::size_t n = 0;
        while (pcap_next_ex(pcap, &header, &data) == 1) {
            benchmark::DoNotOptimize(data[header->caplen - 1]);
            ++n;
        }
        pcap_close(pcap);
        total += n;
    }
    state.SetItemsProcessed(int64_t(total));
    state.SetLabel("libpcap ceiling");
}

void BM_CaptureNextPacket(benchmark::State& state) {
    const std::string& path = capture_file(std::size_t(state.range(0)));
    vorlan_sdk::Capture capture;
    if (!capture.open_for_read(path).ok()) {
        state.SkipWithError("cannot open the capture");
        return;
    }
    std::size_t total = 0;
    for (auto _ : state) {
        if (!capture.seek(0).ok()) {
            state.SkipWithError("cannot rewind");
            return;
        }
        vorlan_sdk::Capture::PacketHeader header;
        const uint8_t* data = nullptr;
        std::size_t n = 0;
        while (capture.next_packet(header, data).code() == VORLAN_SUCCESS) {
            benchmark::DoNotOptimize(data[header.data_size - 1]);
            ++n;
        }
        total += n;
    }
    state.SetItemsProcessed(int64_t(total));
}

void BM_ReplayResumeBlocking(benchmark::State& state) {
    const std::string& path = capture_file(std::size_t(state.range(0)));
    VorlanSDKOptions options = vorlan_sdk_create_options();
    options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK;
    if (vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr) != VORLAN_SUCCESS ||
        vorlan_sdk_capture_replay_open(path.c_str()) != VORLAN_SUCCESS) {
        state.SkipWithError("cannot start replay");
        return;
    }
    std::size_t counted = 0;
    vorlan_sdk_listen_network_packet(
        [](VorlanSensorHandle, int64_t, const uint8_t*, size_t, void* user_data) {
            ++*static_cast<std::size_t*>(user_data);
        },
        &counted);
    for (auto _ : state) {
        vorlan_sdk_capture_replay_rewind();
        if (vorlan_sdk_capture_replay_resume_blocking(1e9f) != VORLAN_SUCCESS) {
            state.SkipWithError("replay failed");
            break;
        }
    }
    state.SetItemsProcessed(int64_t(counted));
    vorlan_sdk_deinitialize();
}

BENCHMARK(BM_PcapNextEx)->Arg(64)->Arg(1400)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CaptureNextPacket)->Arg(64)->Arg(1400)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplayResumeBlocking)->Arg(64)->Arg(1400)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
