#include "converted_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>


namespace vorlan_tool {
namespace {

std::string first_bytes_form(const std::string& file) {
    std::FILE* handle = std::fopen(file.c_str(), "rb");
    if (handle == nullptr) {
        return "";
    }
    uint8_t bytes[24] = {};
    const std::size_t got = std::fread(bytes, 1, sizeof(bytes), handle);
    std::fclose(handle);
    return capture_form(bytes, got);
}

// A new empty file in the system's temporary folder.
std::string make_temporary(std::string& error) {
    std::error_code code;
    std::filesystem::path folder = std::filesystem::temp_directory_path(code);
    if (code) {
        folder = "/tmp";
    }
    std::string pattern = (folder / "vorlan-converted-XXXXXX.pcap").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemps(name.data(), 5);
    if (fd < 0) {
        error = "cannot create a temporary file in " + folder.string();
        return "";
    }
    ::close(fd);
    return name.data();
}

}  // namespace

ConvertedCapture::~ConvertedCapture() {
    if (!m_temporary.empty()) {
        std::error_code ignored;
        std::filesystem::remove(m_temporary, ignored);
        // The first library keeps an index beside a capture it read, named
        // after it with a ".vrn<version>" suffix.
        const std::filesystem::path temporary(m_temporary);
        const std::string index_prefix = temporary.filename().string() + ".vrn";
        for (const auto& entry : std::filesystem::directory_iterator(temporary.parent_path(), ignored)) {
            if (entry.path().filename().string().compare(0, index_prefix.size(), index_prefix) == 0) {
                std::filesystem::remove(entry.path(), ignored);
            }
        }
    }
}

bool ConvertedCapture::prepare(const std::string& file, Console& console) {
    m_path = file;
    const std::string form = first_bytes_form(file);
    if (form.empty() || is_native_capture(file)) {
        return true;
    }
    std::string error;
    const std::string temporary = make_temporary(error);
    if (temporary.empty()) {
        console.error(file + ": " + error);
        return false;
    }
    if (!convert_capture(file, temporary, ConvertOptions(), m_report)) {
        std::remove(temporary.c_str());
        console.error(file + ": cannot convert this " + form + " capture: " + m_report.error);
        return false;
    }
    m_temporary = temporary;
    m_path = temporary;
    console.note(file + " is a " + form + " capture (" + m_report.link + "); converted to a temporary classic capture: " +
                 describe_conversion(m_report) + (m_report.damage.empty() ? "" : "; " + m_report.damage));
    return true;
}

}  // namespace vorlan_tool
