#include "capture_census.h"

#include <algorithm>
#include <sstream>

#include "console.h"
#include "exit_codes.h"

namespace vorlan_tool {
namespace {

// The first line the source wrote on standard error, without the tool's prefix.
std::string first_error(const std::string& err) {
    std::string line = err.substr(0, err.find('\n'));
    const std::string prefix = "vorlan: ";
    if (line.compare(0, prefix.size(), prefix) == 0) {
        line.erase(0, prefix.size());
    }
    return line;
}

}  // namespace

double CensusSensor::frames_per_second() const {
    if (frames < 2 || last_frame_time <= first_frame_time) {
        return 0.0;
    }
    return double(frames - 1) * 1e6 / double(last_frame_time - first_frame_time);
}

CaptureCensus take_census(const std::string& path, int library) {
    CaptureCensus census;
    // The source's own lines (its opening line, its warnings) are not the
    // census's: a failure is told through `error`.
    std::ostringstream out;
    std::ostringstream err;
    Console quiet(out, err, false);
    std::unique_ptr<FrameSource> source = make_frame_source(library, quiet);
    FrameSourceSettings settings;
    settings.library = library;
    settings.capture = path;
    settings.mode = FrameMode::sweep;
    settings.legacy_translation = false;
    if (!source->open(settings)) {
        census.error = first_error(err.str());
        return census;
    }
    const int code = source->run([&census](const Frame& frame) {
        if (!frame.whole || frame.sensor == nullptr || frame.n_points == 0) {
            return true;
        }
        CensusSensor& sensor = census.sensors[uint32_t(frame.sensor->handle)];
        if (sensor.frames == 0) {
            sensor.first_frame_time = frame.first_time;
        }
        sensor.last_frame_time = frame.first_time;
        ++sensor.frames;
        sensor.points += frame.n_points;
        for (std::size_t i = 0; i < frame.n_points; ++i) {
            sensor.channels_seen = std::max(sensor.channels_seen, unsigned(frame.points[i].channel) + 1);
        }
        return true;
    });
    if (code != kExitSuccess) {
        census.error = first_error(err.str());
        if (census.error.empty()) {
            census.error = "the library stopped reading it";
        }
    }
    for (const SensorFacts& facts : source->sensors()) {
        if (facts.serial_number != 0 || !facts.model.empty()) {
            census.sensors[uint32_t(facts.handle)].facts = facts;
        }
    }
    // Senders that made frames but never said who they are stay out: the
    // traffic list shows them.
    for (auto it = census.sensors.begin(); it != census.sensors.end();) {
        it = it->second.facts.handle == 0 ? census.sensors.erase(it) : std::next(it);
    }
    return census;
}

}  // namespace vorlan_tool
