#include "elf_check.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

#if defined(__linux__)
#include <elf.h>
#endif

namespace vorlan_sdk2 {

#if defined(__linux__) && defined(__LP64__)

bool checkSharedObjectFile(const std::string& path, std::string& reason) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        reason = std::strerror(errno);
        return false;
    }
    const std::streamoff end = file.tellg();
    if (end < 0) {
        reason = "its size cannot be read";
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(end);
    Elf64_Ehdr header{};
    file.seekg(0);
    const std::streamsize got = static_cast<std::streamsize>(std::min<uint64_t>(size, sizeof header));
    if (!file.read(reinterpret_cast<char*>(&header), got)) {
        reason = "it cannot be read";
        return false;
    }
    if (std::memcmp(header.e_ident, ELFMAG, std::min<size_t>(SELFMAG, static_cast<size_t>(got))) != 0 ||
        size == 0) {
        reason = "not an ELF file";
        return false;
    }
    if (size < sizeof header) {
        reason = "too short for an ELF header (" + std::to_string(size) + " bytes): the file is cut short";
        return false;
    }
    const uint16_t host_order = 1;
    const bool little_endian_host = *reinterpret_cast<const uint8_t*>(&host_order) == 1;
    if (header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_ident[EI_DATA] != (little_endian_host ? ELFDATA2LSB : ELFDATA2MSB)) {
        reason = "an ELF file of another word size or byte order";
        return false;
    }
    if (header.e_type != ET_DYN) {
        reason = "not a shared object";
        return false;
    }
    if (header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum == 0) {
        reason = "its program headers are missing or malformed";
        return false;
    }
    const uint64_t headers_end = header.e_phoff + uint64_t{header.e_phnum} * sizeof(Elf64_Phdr);
    if (header.e_phoff > size || headers_end > size) {
        reason = "its program headers lie past its end (" + std::to_string(size) + " bytes): the file is cut short";
        return false;
    }
    std::vector<Elf64_Phdr> segments(header.e_phnum);
    file.seekg(static_cast<std::streamoff>(header.e_phoff));
    if (!file.read(reinterpret_cast<char*>(segments.data()),
                   static_cast<std::streamsize>(segments.size() * sizeof(Elf64_Phdr)))) {
        reason = "its program headers cannot be read";
        return false;
    }
    for (const Elf64_Phdr& segment : segments) {
        if (segment.p_offset > size || segment.p_filesz > size - segment.p_offset) {
            reason = "a segment lies past its end (" + std::to_string(size) + " bytes, the segment ends at byte " +
                     std::to_string(segment.p_offset + segment.p_filesz) + "): the file is cut short";
            return false;
        }
    }
    // Section headers are not mapped, but they sit at the end of the file:
    // past the end, they tell of a file cut short all the same.
    if (header.e_shnum != 0 &&
        (header.e_shoff > size || uint64_t{header.e_shnum} * header.e_shentsize > size - header.e_shoff)) {
        reason = "its section headers lie past its end (" + std::to_string(size) + " bytes): the file is cut short";
        return false;
    }
    return true;
}

#else

bool checkSharedObjectFile(const std::string&, std::string&) { return true; }

#endif

}  // namespace vorlan_sdk2
