// Reads an arbitrary file as a capture with the reader both libraries
// share (classic or pcapng, any link layer and wrapping): every datagram,
// then the record headers again from a few offsets as seeking does, as a
// user's damaged or hostile capture could make it. The second pass keeps
// copies of datagrams, the first drops them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "capture_reader.h"
#include "scratch_file.h"

namespace {

const std::string& scratch_path() {
    static const std::string path = "/tmp/vorlan_fuzz_capture_" + std::to_string(getpid()) + ".pcap";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!vorlan_fuzz::write_scratch_file(scratch_path(), data, size)) {
        return 0;
    }

    vorlan_capture::CaptureReader reader;
    if (reader.open(scratch_path()) == vorlan_capture::HeaderStatus::ok) {
        vorlan_capture::Datagram datagram;
        volatile uint8_t sink = 0;
        for (int pass = 0; pass < 2; ++pass) {
            reader.set_drop_duplicates(pass == 0);
            while (reader.next(datagram)) {
                // Touch both ends of the payload: it must lie within the record.
                if (datagram.size > 0) {
                    sink = sink ^ datagram.payload[0] ^ datagram.payload[datagram.size - 1];
                }
            }
            // Again from a record boundary found by walking headers, as the
            // index and seeking do.
            vorlan_capture::Record record;
            int64_t offset = reader.file().first_offset();
            for (int i = 0; i < 3 && reader.file().read(offset, record, false) == vorlan_capture::RecordStatus::ok; ++i) {
                offset = record.next_offset();
            }
            reader.seek(offset);
        }
    }
    std::remove(scratch_path().c_str());
    return 0;
}
