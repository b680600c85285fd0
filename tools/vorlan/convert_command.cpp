// `vorlan convert IN OUT [--dedup]`: any capture libpcap reads into the
// classic capture the libraries read.
#include "capture_convert.h"
#include "commands.h"

namespace vorlan_tool {

int run_convert(const ConvertSettings& settings, Console& console) {
    ConvertOptions options;
    options.dedup = settings.dedup;
    ConvertReport report;
    if (!convert_capture(settings.in, settings.out, options, report)) {
        console.error(settings.in + ": " + report.error);
        return kExitFailure;
    }
    const std::string form = report.input_form.empty() ? "capture" : report.input_form + " capture";
    console.line(settings.in + ": " + form + ", " + report.link);
    if (!report.damage.empty()) {
        console.warning(settings.in + ": " + report.damage);
    }
    console.line(describe_conversion(report) + " to " + settings.out);
    if (report.written == 0) {
        console.error(settings.in + ": no record carries a UDP datagram; nothing to replay");
        return kExitFailure;
    }
    return kExitSuccess;
}

}  // namespace vorlan_tool
