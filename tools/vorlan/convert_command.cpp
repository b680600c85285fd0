// `vorlan convert IN OUT [--dedup] [--force]`: any capture libpcap reads into
// the classic capture the libraries read. The output is written under a
// temporary name beside it and appears only when the conversion succeeded;
// the input itself is never written.
#include "capture_convert.h"
#include "commands.h"
#include "frame_source_core.h"
#include "replacing_file.h"

namespace vorlan_tool {

int run_convert(const ConvertSettings& settings, Console& console) {
    if (!check_capture_file(settings.in, console) ||
        !check_output_file(settings.out, settings.force, console, settings.in)) {
        return kExitFailure;
    }
    ReplacingFile file(settings.out);
    std::string error;
    if (!file.create(error)) {
        console.error("cannot write " + settings.out + ": " + error);
        return kExitFailure;
    }
    ConvertOptions options;
    options.dedup = settings.dedup;
    ConvertReport report;
    if (!convert_capture(settings.in, file.temporary(), options, report)) {
        // Said of the file the user named, not of the temporary one.
        const std::string& reason = report.error;
        if (reason.compare(0, 13, "cannot write ") == 0) {
            console.error(file.failure(reason));
        } else {
            console.error(reason.compare(0, settings.in.size(), settings.in) == 0 ||
                                  reason.compare(0, 6, "cannot") == 0
                              ? reason
                              : settings.in + ": " + reason);
        }
        return kExitFailure;
    }
    const std::string form = report.input_form.empty() ? "capture" : report.input_form + " capture";
    console.line(settings.in + ": " + form + ", " + report.link);
    if (!report.damage.empty()) {
        console.warning(settings.in + ": " + report.damage);
    }
    if (report.written == 0) {
        console.error(settings.in + ": no record carries a UDP datagram; nothing to replay, nothing written");
        return kExitFailure;
    }
    if (!file.commit(error)) {
        console.error(file.failure(error));
        return kExitFailure;
    }
    console.line(describe_conversion(report) + " to " + settings.out);
    return kExitSuccess;
}

}  // namespace vorlan_tool
