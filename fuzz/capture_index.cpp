// Opens an arbitrary file as a capture with the first library, which builds
// and stores its side index, reads every datagram, seeks into the middle,
// then opens it again from the stored index and reads once more: a user's
// damaged or hostile capture, and the index the library made from it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "capture.h"
#include "scratch_file.h"

namespace {

const std::string& scratch_path() {
    static const std::string path = "/tmp/vorlan_fuzz_capture_index_" + std::to_string(getpid()) + ".pcap";
    return path;
}

void read_all(vorlan_sdk::Capture& capture) {
    vorlan_sdk::Capture::PacketHeader header;
    const uint8_t* data = nullptr;
    volatile uint8_t sink = 0;
    for (;;) {
        const VorlanSensorErrorCode code = capture.read_packet(header, data);
        if (code == VORLAN_ERROR_EOF) {
            return;
        }
        if (code != VORLAN_SUCCESS) {
            capture.read_failure(code).mark_used();
            continue;
        }
        // Touch both ends of the payload: it must lie within the file's bytes.
        if (header.data_size > 0) {
            sink = sink ^ data[0] ^ data[header.data_size - 1];
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!vorlan_fuzz::write_scratch_file(scratch_path(), data, size)) {
        return 0;
    }

    for (int open = 0; open < 2; ++open) {
        vorlan_sdk::Capture capture;
        const vorlan_sdk::SensorError opened = capture.open_for_read(scratch_path());
        opened.mark_used();
        if (!opened.ok()) {
            break;
        }
        read_all(capture);
        capture.seek(capture.get_length() / 2).mark_used();
        read_all(capture);
    }
    std::remove(vorlan_sdk::Capture::index_filename(scratch_path()).c_str());
    std::remove(scratch_path().c_str());
    return 0;
}
