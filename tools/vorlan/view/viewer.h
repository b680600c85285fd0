// `vorlan view` without its command line: a frame source on one side, the
// web server on the other. Frames are encoded once and handed to every page;
// the pages' play, pause, step, seek and speed commands steer the source's
// capture playback.
#ifndef VORLAN_TOOLS_VIEW_VIEWER_H
#define VORLAN_TOOLS_VIEW_VIEWER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client_queue.h"
#include "sources/frame_source.h"
#include "view_server.h"

namespace vorlan_tool {

class Viewer {
public:
    // `start_seconds`: where the selection starts in the capture, so that the
    // page shows times from the capture's start; `speed`: the replay rate
    // the source was opened with; `runs_again`: the source's run() may be
    // called again once a capture has ended (a seek then plays on).
    explicit Viewer(FrameSource& source, double start_seconds = 0.0, float speed = 1.0f, bool runs_again = false);
    ~Viewer();
    Viewer(const Viewer&) = delete;
    Viewer& operator=(const Viewer&) = delete;

    bool start_server(const ViewServerSettings& settings, std::string& error);
    uint16_t port() const { return m_server.port(); }

    // Hands the source's frames to the pages until a stop is requested
    // (Ctrl-C). A capture that ends stays on screen until then (and where
    // the source runs again, a seek, step or play from a page replays from
    // there). Returns the source's failure code, or 0.
    int run();
    void stop_server() { m_server.stop(); }

    ViewServerStats stats() const { return m_server.stats(); }

    // A page's command: "play", "pause", "step", "seek SECONDS",
    // "speed RATE". Anything else is ignored.
    void handle_command(const std::string& command);

    // The texts the pages get (JSON), here so tests can read them.
    std::string hello_text();
    std::string status_text();

private:
    bool on_frame(const Frame& frame);
    void on_sensor(const SensorFacts& sensor);
    uint16_t slot_of(const SensorFacts* sensor);
    std::string sensors_json_locked() const;
    std::string status_fields();  // ",\"origin\":...,\"paused\":..." 
    std::shared_ptr<std::vector<uint8_t>> spare_buffer();
    void status_loop();

    FrameSource& m_source;
    PlaybackControl* const m_playback;
    const double m_start_seconds;
    const bool m_runs_again;
    ViewServer m_server;

    mutable std::mutex m_mutex;  // guards the sensors and the time origin
    std::map<uint64_t, uint16_t> m_slots;  // by the library's handle
    std::vector<SensorFacts> m_sensors;    // by slot
    bool m_have_origin = false;
    int64_t m_origin = 0;  // µs since the epoch of the capture's start

    // Used on the source's thread only.
    std::vector<std::shared_ptr<std::vector<uint8_t>>> m_buffers;

    std::atomic<bool> m_paused{false};
    std::atomic<float> m_speed{1.0f};
    std::atomic<bool> m_ended{false};
    std::atomic<bool> m_rerun{false};

    std::mutex m_status_mutex;
    std::condition_variable m_status_wake;
    bool m_status_stop = false;  // guarded by m_status_mutex
    std::thread m_status_thread;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_VIEW_VIEWER_H
