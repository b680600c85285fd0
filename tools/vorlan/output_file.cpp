#include "output_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace vorlan_tool {

bool check_output_file(const std::string& path, bool force, Console& console) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (std::filesystem::is_directory(status)) {
        console.error("cannot write " + path + ": it is a folder");
        return false;
    }
    if (std::filesystem::exists(status) && !force) {
        console.error(path + " exists; add --force to replace it");
        return false;
    }
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    // The system's words for a folder that is missing or takes no files.
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        console.error("cannot write " + path + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace vorlan_tool
