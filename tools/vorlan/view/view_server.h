// The viewer's web server: serves the page's own files over HTTP and streams
// frames to every page over a WebSocket, as binary messages. It runs its own
// thread; the frame source publishes from its thread, and each browser gets
// only the newest frame of each sensor that it has not read yet.
#ifndef VORLAN_TOOLS_VIEW_VIEW_SERVER_H
#define VORLAN_TOOLS_VIEW_VIEW_SERVER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "client_queue.h"

namespace vorlan_tool {

struct ViewServerSettings {
    std::string bind = "127.0.0.1";
    uint16_t port = 0;  // 0: a free port
    std::size_t max_pages = 16;  // WebSockets open at once; more get 503
    // A request's header beyond this is refused with 431.
    std::size_t header_limit = 8 * 1024;
    // A page that answers no ping for this long is disconnected.
    double idle_seconds = 20.0;
};

struct ViewServerStats {
    uint64_t frames_published = 0;
    uint64_t frames_sent = 0;     // summed over pages
    uint64_t frames_dropped = 0;  // replaced by a newer one before a page read them
    uint64_t frame_bytes_sent = 0;
    uint64_t points_sent = 0;
    std::size_t pages = 0;  // open now
};

class ViewServer {
public:
    // A command a page sent ("pause", "seek 12.5", ...); called on the
    // server's thread, so it must return at once.
    using CommandHandler = std::function<void(const std::string& command)>;
    // The text every page gets first when it connects (what the stream holds).
    using HelloProvider = std::function<std::string()>;

    ViewServer(CommandHandler on_command, HelloProvider hello);
    ~ViewServer();
    ViewServer(const ViewServer&) = delete;
    ViewServer& operator=(const ViewServer&) = delete;

    // Binds and starts serving; on failure sets `error` and returns false.
    bool start(const ViewServerSettings& settings, std::string& error);
    // Closes every connection and joins the thread. Idempotent.
    void stop();
    uint16_t port() const;

    // From any thread: a message made by encode_frame_message. A page that
    // connects later gets the newest one of each sensor at once.
    void publish_frame(uint16_t sensor_slot, FrameBytes frame);
    // A text message for every open page (sensor list, playback status).
    void publish_text(std::string text);

    ViewServerStats stats() const;

    class Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_VIEW_VIEW_SERVER_H
