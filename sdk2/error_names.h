// Names of the codes vorlan_sdk2 answers with.
#ifndef VORLAN_SDK2_ERROR_NAMES_H
#define VORLAN_SDK2_ERROR_NAMES_H

namespace vorlan_sdk2 {

// The code's name, "" for a code without one; never null.
const char* errorCodeName(int code);

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_ERROR_NAMES_H
