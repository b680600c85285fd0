#include "serial_parser.h"

#include "wire_bytes.h"

namespace vorlan_sdk2 {

using vorlan_common::ByteView;

namespace {

constexpr uint32_t kNmeaMagic = vorlan_common::type_word("NMEA");
constexpr size_t kTextOffset = 4;

}  // namespace

SerialList& serialReceivers() {
    static SerialList list;
    return list;
}

void serialCallbacksClear() { serialReceivers().Clear(); }

int serialParser(uint64_t handle, int64_t, const uint8_t* data, size_t size, void*) {
    const ByteView packet(data, size);
    // The magic and at least the terminating NUL: the line is the text from
    // offset 4 and must end inside the payload.
    if (!packet.has(0, kTextOffset + 1) || packet.u32(0) != kNmeaMagic || packet.u8(size - 1) != 0) {
        return -1;
    }
    serialReceivers().Invoke(handle, reinterpret_cast<const char*>(packet.data() + kTextOffset));
    return 0;
}

}  // namespace vorlan_sdk2
