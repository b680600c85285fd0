// The ceiling of the capture benchmarks: libpcap reading a whole capture
// file, touching the last byte of every packet so that each is really read.
#ifndef VORLAN_BENCH_SUPPORT_LIBPCAP_CEILING_H
#define VORLAN_BENCH_SUPPORT_LIBPCAP_CEILING_H

#include <benchmark/benchmark.h>
#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorlan_bench {

// Reads the capture at `path` once per iteration of `state` and counts the
// packets read as its items. False, with the run marked as failed, when
// libpcap cannot open the file.
inline bool read_with_libpcap(benchmark::State& state, const std::string& path) {
    std::size_t total = 0;
    for (auto _ : state) {
        char errors[PCAP_ERRBUF_SIZE];
        pcap_t* pcap = pcap_open_offline(path.c_str(), errors);
        if (pcap == nullptr) {
            state.SkipWithError(errors);
            return false;
        }
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        while (pcap_next_ex(pcap, &header, &data) == 1) {
            benchmark::DoNotOptimize(data[header->caplen - 1]);
            ++total;
        }
        pcap_close(pcap);
    }
    state.SetItemsProcessed(int64_t(total));
    return true;
}

}  // namespace vorlan_bench

#endif  // VORLAN_BENCH_SUPPORT_LIBPCAP_CEILING_H
