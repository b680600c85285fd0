// Opens an arbitrary file as a capture with the first library's replay, as a
// user's damaged or hostile capture could make it: the open builds (or
// loads) the side index, then packets are fed one by one, after a seek, and
// to the end. The input starts with a 16-bit length; that many bytes become
// the side index found next to the capture (none when 0), the rest is the
// capture itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "scratch_file.h"
#include "vorlan_sdk.h"

namespace {

const std::string& scratch_path() {
    static const std::string path = "/tmp/vorlan_fuzz_replay_" + std::to_string(getpid()) + ".pcap";
    return path;
}

const std::string& index_path() {
    static const std::string path = scratch_path() + ".vrn0";
    return path;
}

void initialise_once() {
    static const bool initialised = [] {
        VorlanSDKOptions options = vorlan_sdk_create_options();
        options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK;
        const bool ok = vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr) == VORLAN_SUCCESS;
        std::atexit([] { vorlan_sdk_deinitialize(); });
        return ok;
    }();
    (void)initialised;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    initialise_once();
    std::size_t index_size = size >= 2 ? (data[0] | (static_cast<std::size_t>(data[1]) << 8)) : 0;
    const std::size_t offset = size >= 2 ? 2 : size;
    if (index_size > size - offset) {
        index_size = size - offset;
    }
    std::remove(index_path().c_str());
    if (index_size > 0) {
        vorlan_fuzz::write_scratch_file(index_path(), data + offset, index_size);
    }
    vorlan_fuzz::write_scratch_file(scratch_path(), data + offset + index_size, size - offset - index_size);

    if (vorlan_sdk_capture_replay_open(scratch_path().c_str()) == VORLAN_SUCCESS) {
        for (int i = 0; i < 16 && vorlan_sdk_capture_replay_resume_blocking_once() == VORLAN_SUCCESS; ++i) {
        }
        const float length = vorlan_sdk_capture_replay_get_length();
        (void)vorlan_sdk_capture_replay_seek(length / 2);
        (void)vorlan_sdk_capture_replay_resume_blocking(length + 1.0f);
        (void)vorlan_sdk_capture_replay_rewind();
        (void)vorlan_sdk_capture_replay_resume_blocking_once();
        (void)vorlan_sdk_capture_replay_close();
    }
    vorlan_sdk_clear();
    std::remove(scratch_path().c_str());
    std::remove(index_path().c_str());
    return 0;
}
