#include "replacing_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace vorlan_tool {

bool check_output_file(const std::string& output, bool force, Console& console, const std::string& input) {
    struct stat out_status {};
    const bool exists = ::stat(output.c_str(), &out_status) == 0;
    if (exists && !input.empty()) {
        struct stat in_status {};
        if (::stat(input.c_str(), &in_status) == 0 && in_status.st_dev == out_status.st_dev &&
            in_status.st_ino == out_status.st_ino) {
            console.error("cannot write " + output + ": it is the file being read");
            return false;
        }
    }
    if (exists && S_ISDIR(out_status.st_mode)) {
        console.error("cannot write " + output + ": it is a folder");
        return false;
    }
    if (exists && !S_ISREG(out_status.st_mode)) {
        console.error("cannot write " + output + ": it is not a regular file");
        return false;
    }
    if (exists && !force) {
        console.error(output + " exists; add --force to replace it");
        return false;
    }
    std::filesystem::path folder = std::filesystem::path(output).parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    // The system's words for a folder that is missing or takes no files.
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        console.error("cannot write " + output + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

ReplacingFile::ReplacingFile(std::string path) : m_path(std::move(path)) {}

ReplacingFile::~ReplacingFile() {
    if (!m_committed && !m_temporary.empty()) {
        ::unlink(m_temporary.c_str());
    }
}

bool ReplacingFile::create(std::string& error) {
    const std::filesystem::path target(m_path);
    std::filesystem::path folder = target.parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    // Hidden, in the same folder: the rename stays on one file system.
    const std::string pattern = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    ::fchmod(fd, 0644);
    ::close(fd);
    m_temporary = name.data();
    return true;
}

bool ReplacingFile::commit(std::string& error) {
    if (m_temporary.empty()) {
        error = "nothing was written";
        return false;
    }
    if (std::rename(m_temporary.c_str(), m_path.c_str()) != 0) {
        error = std::strerror(errno);
        return false;
    }
    m_committed = true;
    return true;
}

std::string ReplacingFile::failure(std::string error) const {
    const std::string prefix = "cannot write ";
    for (const std::string& writer_said : {prefix + m_temporary + ": ", prefix + "the capture: "}) {
        if (!m_temporary.empty() && error.compare(0, writer_said.size(), writer_said) == 0) {
            error.erase(0, writer_said.size());
        }
    }
    if (!m_temporary.empty()) {
        for (std::size_t at = error.find(m_temporary); at != std::string::npos; at = error.find(m_temporary, at)) {
            error.replace(at, m_temporary.size(), m_path);
            at += m_path.size();
        }
    }
    const std::string named = prefix + m_path + ": ";
    return error.compare(0, named.size(), named) == 0 ? error : named + error;
}

}  // namespace vorlan_tool
