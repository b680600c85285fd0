#include "view_server.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "frame_message.h"
#include "request_checks.h"
#include "view_assets.h"

namespace vorlan_tool {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

constexpr std::string_view kStreamPath = "/stream";
// Pages send short commands only.
constexpr std::size_t kMaxCommandBytes = 1024;
// Frames posted to the server's thread and not yet handed to the pages;
// past this the server's thread is behind and a frame is dropped at once.
constexpr int kMaxPostsPending = 64;

class PageSession;

}  // namespace

class ViewServer::Impl {
public:
    Impl(CommandHandler on_command, HelloProvider hello)
        : m_on_command(std::move(on_command)), m_hello(std::move(hello)) {}

    asio::io_context m_ioc{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> m_work;
    tcp::acceptor m_acceptor{m_ioc};
    std::thread m_thread;
    ViewServerSettings m_settings;
    HostPolicy m_policy;
    uint16_t m_port = 0;
    CommandHandler m_on_command;
    HelloProvider m_hello;

    // Touched on the server's thread only.
    std::vector<std::weak_ptr<PageSession>> m_pages;
    std::vector<FrameBytes> m_latest;  // by sensor slot

    std::atomic<int> m_posts_pending{0};
    std::atomic<uint64_t> m_frames_published{0};
    std::atomic<uint64_t> m_frames_sent{0};
    std::atomic<uint64_t> m_frames_dropped{0};
    std::atomic<uint64_t> m_bytes_sent{0};
    std::atomic<uint64_t> m_points_sent{0};
    std::atomic<std::size_t> m_page_count{0};

    void accept();
    void add_page(const std::shared_ptr<PageSession>& page);
    void remove_page(const PageSession* page);
    void deliver_frame(uint16_t slot, const FrameBytes& frame);
    void deliver_text(const std::string& text);
    void close_all();
};

namespace {

// Beast speaks boost::string_view in this Boost.
std::string_view std_view(beast::string_view text) { return std::string_view(text.data(), text.size()); }
beast::string_view beast_view(std::string_view text) { return beast::string_view(text.data(), text.size()); }

uint32_t points_in(const std::vector<uint8_t>& message) {
    uint32_t n = 0;
    if (message.size() >= kFrameMessageHeaderSize) {
        std::memcpy(&n, message.data() + 44, sizeof n);
    }
    return n;
}

// One page's WebSocket: commands in, texts and frames out, one write at a time.
class PageSession : public std::enable_shared_from_this<PageSession> {
public:
    PageSession(tcp::socket socket, ViewServer::Impl& server) : m_ws(std::move(socket)), m_server(server) {}

    void run(http::request<http::string_body> request) {
        beast::get_lowest_layer(m_ws).expires_never();
        websocket::stream_base::timeout timeout =
            websocket::stream_base::timeout::suggested(beast::role_type::server);
        timeout.handshake_timeout = std::chrono::seconds(10);
        // Pings go out at half the idle time; a browser answers them on its
        // own, a peer that stopped reading does not and is let go.
        timeout.idle_timeout =
            std::chrono::milliseconds(static_cast<int64_t>(m_server.m_settings.idle_seconds * 1000.0));
        timeout.keep_alive_pings = true;
        m_ws.set_option(timeout);
        m_ws.read_message_max(kMaxCommandBytes);
        m_ws.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& response) { response.set(http::field::server, "vorlan view"); }));
        auto held = std::make_shared<http::request<http::string_body>>(std::move(request));
        m_ws.async_accept(*held, [self = shared_from_this(), held](beast::error_code ec) { self->on_accept(ec); });
    }

    void push_frame(uint16_t slot, const FrameBytes& frame) {
        if (!m_open) {
            return;
        }
        const uint64_t before = m_queue.frames_dropped();
        m_queue.push_frame(slot, frame);
        m_server.m_frames_dropped += m_queue.frames_dropped() - before;
        pump();
    }

    void push_text(const std::string& text) {
        if (!m_open) {
            return;
        }
        m_queue.push_text(text);
        pump();
    }

    void close() {
        beast::error_code ignored;
        beast::get_lowest_layer(m_ws).socket().close(ignored);
        closed();
    }

private:
    void on_accept(beast::error_code ec) {
        if (ec) {
            return;
        }
        m_open = true;
        m_server.add_page(shared_from_this());
        m_queue.push_text(m_server.m_hello ? m_server.m_hello() : std::string("{}"));
        for (std::size_t slot = 0; slot < m_server.m_latest.size(); ++slot) {
            m_queue.push_frame(static_cast<uint16_t>(slot), m_server.m_latest[slot]);
        }
        read();
        pump();
    }

    void read() {
        m_ws.async_read(m_in, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) {
                self->closed();
                return;
            }
            if (self->m_ws.got_text() && self->m_server.m_on_command) {
                self->m_server.m_on_command(beast::buffers_to_string(self->m_in.data()));
            }
            self->m_in.consume(self->m_in.size());
            self->read();
        });
    }

    void pump() {
        if (m_writing || !m_open) {
            return;
        }
        if (m_queue.pop_text(m_text)) {
            m_writing = true;
            m_ws.text(true);
            m_ws.async_write(asio::buffer(m_text), [self = shared_from_this()](beast::error_code ec, std::size_t) {
                self->on_write(ec);
            });
            return;
        }
        m_frame = m_queue.pop_frame();
        if (m_frame) {
            m_writing = true;
            m_ws.binary(true);
            m_ws.async_write(asio::buffer(*m_frame), [self = shared_from_this()](beast::error_code ec, std::size_t) {
                self->on_write(ec);
            });
        }
    }

    void on_write(beast::error_code ec) {
        m_writing = false;
        if (ec) {
            m_frame.reset();
            closed();
            return;
        }
        if (m_frame) {
            ++m_server.m_frames_sent;
            m_server.m_bytes_sent += m_frame->size();
            m_server.m_points_sent += points_in(*m_frame);
            m_frame.reset();
        }
        pump();
    }

    void closed() {
        if (m_open) {
            m_open = false;
            m_server.remove_page(this);
        }
    }

    websocket::stream<beast::tcp_stream> m_ws;
    ViewServer::Impl& m_server;
    beast::flat_buffer m_in;
    ClientQueue m_queue;
    std::string m_text;  // being written
    FrameBytes m_frame;  // being written
    bool m_writing = false;
    bool m_open = false;
};

// One HTTP connection: the page's files, or the upgrade to its WebSocket.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket socket, ViewServer::Impl& server) : m_stream(std::move(socket)), m_server(server) {}

    void read() {
        m_parser.emplace();
        m_parser->header_limit(static_cast<std::uint32_t>(m_server.m_settings.header_limit));
        m_parser->body_limit(kMaxCommandBytes);
        m_stream.expires_after(std::chrono::seconds(30));
        http::async_read(m_stream, m_buffer, *m_parser,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_read(ec); });
    }

private:
    void on_read(beast::error_code ec) {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::operation_aborted ||
            ec == asio::error::connection_reset || ec == asio::error::eof) {
            shut();
            return;
        }
        if (ec == http::error::header_limit) {
            refuse(http::status::request_header_fields_too_large, "The request's header is too large.\n");
            return;
        }
        if (ec == http::error::body_limit) {
            refuse(http::status::payload_too_large, "The request's body is too large.\n");
            return;
        }
        if (ec) {
            refuse(http::status::bad_request, "The request could not be read.\n");
            return;
        }
        handle(m_parser->release());
    }

    void handle(http::request<http::string_body> request) {
        const std::string_view host = std_view(request[http::field::host]);
        if (!host_allowed(host, m_server.m_policy)) {
            answer(request, http::status::forbidden, "This server answers only to the name it was opened by.\n");
            return;
        }
        if (websocket::is_upgrade(request)) {
            if (std_view(request.target()) != kStreamPath) {
                answer(request, http::status::not_found, "Not found.\n");
            } else if (!origin_allowed(std_view(request[http::field::origin]), host)) {
                answer(request, http::status::forbidden, "Only the viewer's own page may open its stream.\n");
            } else if (m_server.m_page_count.load() >= m_server.m_settings.max_pages) {
                answer(request, http::status::service_unavailable, "Too many pages are open.\n");
            } else {
                m_stream.expires_never();
                std::make_shared<PageSession>(m_stream.release_socket(), m_server)->run(std::move(request));
            }
            return;
        }
        if (request.method() != http::verb::get && request.method() != http::verb::head) {
            answer(request, http::status::method_not_allowed, "Only GET and HEAD.\n");
            return;
        }
        const ViewAsset* asset = find_view_asset(std_view(request.target()));
        if (asset == nullptr) {
            answer(request, http::status::not_found, "Not found.\n");
            return;
        }
        http::response<http::span_body<const char>> response{http::status::ok, request.version()};
        set_common_headers(response, asset->content_type);
        response.body() = http::span_body<const char>::value_type(asset->bytes.data(), asset->bytes.size());
        response.prepare_payload();
        if (request.method() == http::verb::head) {
            response.body() = {};
        }
        response.keep_alive(request.keep_alive());
        send(std::move(response));
    }

    template <typename Body>
    static void set_common_headers(http::response<Body>& response, std::string_view content_type) {
        response.set(http::field::server, "vorlan view");
        response.set(http::field::content_type, beast_view(content_type));
        response.set(http::field::cache_control, "no-store");
        response.set("X-Content-Type-Options", "nosniff");
        response.set("Content-Security-Policy",
                     "default-src 'self'; connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
    }

    void answer(const http::request<http::string_body>& request, http::status status, std::string_view text) {
        http::response<http::string_body> response{status, request.version()};
        set_common_headers(response, "text/plain; charset=utf-8");
        if (status == http::status::method_not_allowed) {
            response.set(http::field::allow, "GET, HEAD");
        }
        response.body() = std::string(text);
        response.prepare_payload();
        response.keep_alive(request.keep_alive() && status == http::status::not_found);
        send(std::move(response));
    }

    // Answers a request that could not be read whole, then closes.
    void refuse(http::status status, std::string_view text) {
        http::response<http::string_body> response{status, 11};
        set_common_headers(response, "text/plain; charset=utf-8");
        response.body() = std::string(text);
        response.prepare_payload();
        response.keep_alive(false);
        send(std::move(response));
    }

    template <typename Body>
    void send(http::response<Body>&& response) {
        auto held = std::make_shared<http::response<Body>>(std::move(response));
        const bool keep_alive = held->keep_alive();
        m_stream.expires_after(std::chrono::seconds(30));
        http::async_write(m_stream, *held,
                          [self = shared_from_this(), held, keep_alive](beast::error_code ec, std::size_t) {
                              if (ec || !keep_alive) {
                                  self->shut();
                                  return;
                              }
                              self->read();
                          });
    }

    void shut() {
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        m_stream.close();
    }

    beast::tcp_stream m_stream;
    ViewServer::Impl& m_server;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
};

}  // namespace

void ViewServer::Impl::accept() {
    m_acceptor.async_accept(asio::make_strand(m_ioc), [this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !m_acceptor.is_open()) {
            return;
        }
        if (!ec) {
            std::make_shared<HttpSession>(std::move(socket), *this)->read();
        }
        accept();
    });
}

void ViewServer::Impl::add_page(const std::shared_ptr<PageSession>& page) {
    m_pages.push_back(page);
    m_page_count = m_pages.size();
}

void ViewServer::Impl::remove_page(const PageSession* page) {
    for (auto it = m_pages.begin(); it != m_pages.end();) {
        const std::shared_ptr<PageSession> held = it->lock();
        if (!held || held.get() == page) {
            it = m_pages.erase(it);
        } else {
            ++it;
        }
    }
    m_page_count = m_pages.size();
}

void ViewServer::Impl::deliver_frame(uint16_t slot, const FrameBytes& frame) {
    if (slot >= m_latest.size()) {
        m_latest.resize(static_cast<std::size_t>(slot) + 1);
    }
    m_latest[slot] = frame;
    const std::vector<std::weak_ptr<PageSession>> pages = m_pages;  // a push may close a page
    for (const auto& weak : pages) {
        if (const auto page = weak.lock()) {
            page->push_frame(slot, frame);
        }
    }
}

void ViewServer::Impl::deliver_text(const std::string& text) {
    const std::vector<std::weak_ptr<PageSession>> pages = m_pages;
    for (const auto& weak : pages) {
        if (const auto page = weak.lock()) {
            page->push_text(text);
        }
    }
}

void ViewServer::Impl::close_all() {
    beast::error_code ignored;
    m_acceptor.close(ignored);
    const std::vector<std::weak_ptr<PageSession>> pages = m_pages;
    for (const auto& weak : pages) {
        if (const auto page = weak.lock()) {
            page->close();
        }
    }
}

ViewServer::ViewServer(CommandHandler on_command, HelloProvider hello)
    : m_impl(std::make_unique<Impl>(std::move(on_command), std::move(hello))) {}

ViewServer::~ViewServer() { stop(); }

bool ViewServer::start(const ViewServerSettings& settings, std::string& error) {
    Impl& impl = *m_impl;
    impl.m_settings = settings;
    beast::error_code ec;
    const asio::ip::address address = asio::ip::make_address(settings.bind, ec);
    if (ec) {
        error = "'" + settings.bind + "' is not an IP address";
        return false;
    }
    impl.m_policy.loopback_only = address.is_loopback();
    const tcp::endpoint endpoint(address, settings.port);
    impl.m_acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        impl.m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        impl.m_acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        impl.m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        error = "cannot listen on " + settings.bind + ":" + std::to_string(settings.port) + ": " + ec.message();
        beast::error_code ignored;
        impl.m_acceptor.close(ignored);
        return false;
    }
    impl.m_port = impl.m_acceptor.local_endpoint(ec).port();
    impl.m_work.emplace(impl.m_ioc.get_executor());
    impl.accept();
    impl.m_thread = std::thread([&impl] {
        for (;;) {
            try {
                impl.m_ioc.run();
                return;
            } catch (const std::exception&) {
                // An allocation failed in a handler: that connection is
                // lost, the server goes on.
            }
        }
    });
    return true;
}

void ViewServer::stop() {
    Impl& impl = *m_impl;
    if (!impl.m_thread.joinable()) {
        return;
    }
    std::promise<void> closed;
    std::future<void> done = closed.get_future();
    asio::post(impl.m_ioc, [&impl, &closed] {
        impl.close_all();
        closed.set_value();
    });
    done.wait_for(std::chrono::seconds(5));
    impl.m_work.reset();
    impl.m_ioc.stop();
    impl.m_thread.join();
}

uint16_t ViewServer::port() const { return m_impl->m_port; }

void ViewServer::publish_frame(uint16_t sensor_slot, FrameBytes frame) {
    Impl& impl = *m_impl;
    ++impl.m_frames_published;
    if (!frame || !impl.m_thread.joinable()) {
        return;
    }
    if (impl.m_posts_pending.load() >= kMaxPostsPending) {
        ++impl.m_frames_dropped;
        return;
    }
    ++impl.m_posts_pending;
    asio::post(impl.m_ioc, [&impl, sensor_slot, frame = std::move(frame)] {
        --impl.m_posts_pending;
        impl.deliver_frame(sensor_slot, frame);
    });
}

void ViewServer::publish_text(std::string text) {
    Impl& impl = *m_impl;
    if (!impl.m_thread.joinable()) {
        return;
    }
    asio::post(impl.m_ioc, [&impl, text = std::move(text)] { impl.deliver_text(text); });
}

ViewServerStats ViewServer::stats() const {
    const Impl& impl = *m_impl;
    ViewServerStats stats;
    stats.frames_published = impl.m_frames_published.load();
    stats.frames_sent = impl.m_frames_sent.load();
    stats.frames_dropped = impl.m_frames_dropped.load();
    stats.frame_bytes_sent = impl.m_bytes_sent.load();
    stats.points_sent = impl.m_points_sent.load();
    stats.pages = impl.m_page_count.load();
    return stats;
}

}  // namespace vorlan_tool
