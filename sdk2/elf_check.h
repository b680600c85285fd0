// A look at a shared library file before the dynamic loader maps it: the
// loader maps the file's segments as the headers describe them, and a file
// cut short (an interrupted copy or install) then faults the process on the
// first touch of a page past its end instead of failing to load.
#ifndef VORLAN_SDK2_ELF_CHECK_H
#define VORLAN_SDK2_ELF_CHECK_H

#include <string>

namespace vorlan_sdk2 {

// True when `path` holds a whole ELF shared object for this process: the
// identification and class match, and the program headers and every segment
// they describe lie inside the file. Otherwise false, with `reason` saying
// what is wrong in a few words.
bool checkSharedObjectFile(const std::string& path, std::string& reason);

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_ELF_CHECK_H
