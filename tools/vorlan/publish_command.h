// `vorlan publish`: every sensor's frames on its ROS 2 topic
// /vorlan/<sensor>/points and their health on /diagnostics, over DDS, from
// a capture or live port read through the tool's frame source.
#ifndef VORLAN_TOOLS_PUBLISH_COMMAND_H
#define VORLAN_TOOLS_PUBLISH_COMMAND_H

#include "console.h"
#include "dds_publisher.h"
#include "frame_source.h"

namespace vorlan_tool {

struct PublishSettings {
    FrameSourceSettings source;
    PublisherSettings publisher;
    // Publish one frame in this many of each sensor (its first, then every
    // n-th), for links that cannot carry them all.
    std::size_t every = 1;
};

// Publishes what `source`, opened with `settings.source`, hands out, until
// it ends or is interrupted; returns the exit code: the source's, or 1 when
// frames could not be sent.
int run_publish(const PublishSettings& settings, FrameSource& source, Console& console);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_PUBLISH_COMMAND_H
