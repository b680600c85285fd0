// Files the tool creates: an existing file is replaced only when asked.
#ifndef VORLAN_TOOLS_OUTPUT_FILE_H
#define VORLAN_TOOLS_OUTPUT_FILE_H

#include <string>

#include "console.h"

namespace vorlan_tool {

// Whether `path` may be written: its folder exists and takes files, and no
// file is there unless `force`. Prints why not and returns false. Nothing
// is created.
bool check_output_file(const std::string& path, bool force, Console& console);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_OUTPUT_FILE_H
