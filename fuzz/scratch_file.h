// Shared by the fuzz targets that hand their input to a reader of files:
// the input is written whole to a file of the target's own under /tmp.
#ifndef VORLAN_FUZZ_SCRATCH_FILE_H
#define VORLAN_FUZZ_SCRATCH_FILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vorlan_fuzz {

// Writes the `size` bytes at `data` (none when `size` is 0) to `path`,
// replacing what was there; false when the file cannot be made.
inline bool write_scratch_file(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    if (size > 0) {
        std::fwrite(data, 1, size, file);
    }
    std::fclose(file);
    return true;
}

}  // namespace vorlan_fuzz

#endif  // VORLAN_FUZZ_SCRATCH_FILE_H
