// A file the tool writes appears whole or not at all: it is written under a
// temporary name in its own folder and renamed into place on success, so a
// failed or interrupted run never leaves half a file, nor destroys the file
// it was to replace. Only what this run created is ever deleted.
#ifndef VORLAN_TOOLS_OUTPUT_REPLACING_FILE_H
#define VORLAN_TOOLS_OUTPUT_REPLACING_FILE_H

#include <string>

#include "console.h"

namespace vorlan_tool {

// Whether `output` may be written: not the `input` file itself (by device
// and inode, whatever the spelling), not a folder, pipe or device, in a
// folder that takes files, and absent unless `force`. Prints why not.
bool check_output_file(const std::string& output, bool force, Console& console, const std::string& input = "");

class ReplacingFile {
public:
    explicit ReplacingFile(std::string path);
    // Removes the temporary file unless committed.
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Creates the temporary file (empty); false with `error` filled when it
    // cannot.
    bool create(std::string& error);
    // Where to write until commit().
    const std::string& temporary() const { return m_temporary; }
    // Renames the temporary file to the path; false with `error` filled.
    bool commit(std::string& error);
    // "cannot write PATH: reason" for an `error` met while writing, said of
    // the path the user named: a writer's own "cannot write TEMPORARY: "
    // (or "cannot write the capture: ") is dropped and any other mention of
    // the temporary name becomes that path.
    std::string failure(std::string error) const;

private:
    std::string m_path;
    std::string m_temporary;
    bool m_committed = false;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_OUTPUT_REPLACING_FILE_H
