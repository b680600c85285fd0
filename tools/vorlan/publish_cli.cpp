#include "publish_cli.h"

#include "dds_network.h"

namespace vorlan_tool {

PublishCli::PublishCli(CLI::App& app) {
    FrameSourceSettings& source = m_settings.source;
    PublisherSettings& publisher = m_settings.publisher;
    // A capture is published as the sensors sent it unless asked otherwise:
    // subscribers see the sensors' own rate.
    source.speed = 1.0f;
    CLI::App* command = app.add_subcommand(
        "publish", "Publish every sensor's frames as ROS 2 PointCloud2 and their health on /diagnostics over DDS");
    m_command = command;
    command->add_option("capture", source.capture, "Capture file to publish (or --port for live sensors)");
    command->add_option("--port", m_port, "Publish live sensors heard on this UDP port")->check(CLI::Range(1, 65535));
    command->add_option("--seconds", source.listen_seconds, "With --port: stop after N seconds")
        ->check(CLI::PositiveNumber);
    command
        ->add_option("--speed", source.speed,
                     "Capture pacing against recorded time: 1 as the sensors sent it, 0 as fast as possible, up to 5")
        ->check(CLI::Range(0.0f, 5.0f))
        ->capture_default_str();
    command->add_option("--sensor", source.sensor, "Only this sensor: its dotted address or serial number");
    command->add_option("--start", source.start, "Frames from this many seconds into the capture")
        ->check(CLI::NonNegativeNumber);
    command->add_option("--end", source.end, "Stop this many seconds into the capture")->check(CLI::NonNegativeNumber);
    command->add_flag("--loop", source.loop, "Start the capture again at its end");
    command->add_option("--frames", source.frame_limit, "Stop after N frames (0: all)");
    command
        ->add_option("--frame-mode", m_frame_mode,
                     "How points are cut into frames: streaming, timed, sweep, full-scan; with --sdk 2 natural "
                     "(the default) or timed")
        ->check(CLI::IsMember({"streaming", "timed", "sweep", "full-scan", "natural"}))
        ->capture_default_str();
    command->add_option("--frame-length", source.frame_length, "Seconds per frame in timed mode")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    command->add_flag("--multiple-returns", source.multiple_returns, "Keep both returns of dual-return sensors");
    add_library_options(*command, m_library);

    command
        ->add_option("--domain", m_domain, "DDS domain (ROS_DOMAIN_ID); default: ROS_DOMAIN_ID, or 0")
        ->check(CLI::Range(0L, static_cast<long>(kMaxDdsDomain)));
    command->add_option("--interface", publisher.interface,
                        "Publish to other hosts through this network interface (name or address); without it "
                        "nothing leaves this host unless CYCLONEDDS_URI says otherwise");
    command->add_flag("--reliable", publisher.reliable,
                      "Reliable delivery of every frame instead of ROS 2's sensor-data profile (best effort)");
    command
        ->add_option("--frame-id", publisher.frame_id,
                     "The messages' frame id; {sensor} stands for the sensor's name in its topic")
        ->capture_default_str();
    command->add_flag("--drop-invalid", publisher.drop_invalid,
                      "Leave out points without a measurement (fewer bytes; the clouds are then dense)");
    command->add_flag("--xyzi", publisher.xyz_intensity_only,
                      "Points of x, y, z and intensity only: 16 bytes instead of 24");
    command->add_option("--every", m_settings.every, "Publish one frame in N of each sensor")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1000}))
        ->capture_default_str();
    command->add_option("--wait-subscribers", publisher.wait_subscribers,
                        "Before a sensor's first frame, wait up to 10 s for this many subscribers to its topic (and to "
                        "/diagnostics before the last report)");
}

void PublishCli::resolve() {
    if (!chosen()) {
        return;
    }
    FrameSourceSettings& source = m_settings.source;
    const bool live = m_command->get_option("--port")->count() != 0;
    if (live == !source.capture.empty()) {
        throw CLI::ValidationError("publish", "give a capture file or --port P (one of them)");
    }
    if (!live && m_command->get_option("--seconds")->count() != 0) {
        throw CLI::ValidationError("--seconds", "applies to live sensors (--port) only");
    }
    if (source.end >= 0.0 && source.end <= source.start) {
        throw CLI::ValidationError("--end", "must come after --start");
    }
    if (source.speed != 0.0f && source.speed <= 1e-6f) {
        throw CLI::ValidationError("--speed", "0 (as fast as possible) or a rate above 0.000001 up to 5");
    }
    // The same checks of the frame options against the library as every command.
    const FrameOptions frames =
        resolve_frame_options(*m_command, m_library, m_frame_mode, source.frame_length, source.multiple_returns);
    source.library = frames.library;
    source.fifo_frames = frames.fifo_frames;
    if (live) {
        source.port = static_cast<uint16_t>(m_port);
    }
    if (m_frame_mode == "streaming") {
        source.mode = FrameMode::streaming;
    } else if (m_frame_mode == "timed") {
        source.mode = FrameMode::timed;
    } else if (m_frame_mode == "full-scan") {
        source.mode = FrameMode::full_scan;
    } else {
        source.mode = FrameMode::sweep;  // natural frames with the second library
    }
    m_settings.publisher.domain = m_domain;
}

int PublishCli::run(Console& console) {
    const std::unique_ptr<FrameSource> source = make_frame_source(m_settings.source.library, console);
    return run_publish(m_settings, *source, console);
}

}  // namespace vorlan_tool
