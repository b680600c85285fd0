// Lets replay, export, render and check take any capture a user has: one the
// libraries read as it is is used in place; any other form libpcap reads is
// converted into a temporary classic capture first, and the user is told so
// on standard error.
#ifndef VORLAN_TOOLS_CONVERTED_CAPTURE_H
#define VORLAN_TOOLS_CONVERTED_CAPTURE_H

#include <string>

#include "capture_convert.h"
#include "console.h"

namespace vorlan_tool {

class ConvertedCapture {
public:
    ConvertedCapture() = default;
    // Removes the temporary file and the index the library wrote beside it.
    ~ConvertedCapture();
    ConvertedCapture(const ConvertedCapture&) = delete;
    ConvertedCapture& operator=(const ConvertedCapture&) = delete;

    // Prepares `file`. False, with the reason printed, when it needed a
    // conversion that failed; a file that is no capture at all is passed on
    // as it is, for the reader to explain.
    bool prepare(const std::string& file, Console& console);

    // The file to read.
    const std::string& path() const { return m_path; }
    bool converted() const { return !m_temporary.empty(); }
    // What the conversion did; meaningful when converted().
    const ConvertReport& report() const { return m_report; }

private:
    std::string m_path;
    std::string m_temporary;
    ConvertReport m_report;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_CONVERTED_CAPTURE_H
