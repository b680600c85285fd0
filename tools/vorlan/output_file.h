// Files the tool creates: an existing file is replaced only when asked.
#ifndef VORLAN_TOOLS_OUTPUT_FILE_H
#define VORLAN_TOOLS_OUTPUT_FILE_H

#include "replacing_file.h"

#endif  // VORLAN_TOOLS_OUTPUT_FILE_H
