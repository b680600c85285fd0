// Test clients of the viewer's server: one raw HTTP exchange over a plain
// socket, and a page's WebSocket that collects what the server sends.
#ifndef VORLAN_TESTS_TOOLS_VIEW_PAGE_CLIENT_H
#define VORLAN_TESTS_TOOLS_VIEW_PAGE_CLIENT_H

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vorlan_tool {

// Sends `request` to 127.0.0.1:port and returns everything read until the
// server closes (or 10 s pass).
inline std::string http_exchange(uint16_t port, const std::string& request) {
    namespace asio = boost::asio;
    asio::io_context ioc;
    asio::ip::tcp::socket socket(ioc);
    boost::system::error_code ec;
    socket.connect({asio::ip::make_address("127.0.0.1"), port}, ec);
    if (ec) {
        return "connect failed: " + ec.message();
    }
    std::string reply;
    std::vector<char> chunk(4096);
    asio::async_write(socket, asio::buffer(request), [](boost::system::error_code, std::size_t) {});
    std::function<void()> read_more = [&] {
        socket.async_read_some(asio::buffer(chunk), [&](boost::system::error_code error, std::size_t n) {
            reply.append(chunk.data(), n);
            if (!error) {
                read_more();
            }
        });
    };
    read_more();
    ioc.run_for(std::chrono::seconds(10));
    return reply;
}

// The status line's code of an HTTP reply; 0 when there is none.
inline int status_of(const std::string& reply) {
    if (reply.rfind("HTTP/1.1 ", 0) != 0 || reply.size() < 12) {
        return 0;
    }
    return std::stoi(reply.substr(9, 3));
}

class PageClient {
public:
    explicit PageClient(uint16_t port, const std::string& origin = "") : m_ws(m_ioc) {
        namespace websocket = boost::beast::websocket;
        const std::string host = "127.0.0.1:" + std::to_string(port);
        const std::string page_origin = origin.empty() ? "http://" + host : origin;
        m_ws.next_layer().connect({boost::asio::ip::make_address("127.0.0.1"), port}, m_error);
        if (m_error) {
            return;
        }
        m_ws.set_option(websocket::stream_base::decorator(
            [page_origin](websocket::request_type& request) { request.set("Origin", page_origin); }));
        m_ws.handshake(host, "/stream", m_error);
        if (!m_error) {
            read();
        }
    }

    bool connected() const { return !m_error || !m_texts.empty() || !m_frames.empty(); }
    bool closed() const { return m_closed; }

    // Runs until `done` holds or `seconds` pass; returns `done()`.
    bool wait_for(const std::function<bool()>& done, double seconds = 20.0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done() && std::chrono::steady_clock::now() < deadline && !m_closed) {
            m_ioc.restart();
            m_ioc.run_for(std::chrono::milliseconds(20));
        }
        return done();
    }

    void send(const std::string& text) {
        m_ws.text(true);
        boost::system::error_code ignored;
        m_ws.write(boost::asio::buffer(text), ignored);
    }

    const std::vector<std::string>& texts() const { return m_texts; }
    const std::vector<std::vector<uint8_t>>& frames() const { return m_frames; }

private:
    void read() {
        m_ws.async_read(m_buffer, [this](boost::system::error_code ec, std::size_t) {
            if (ec) {
                m_closed = true;
                return;
            }
            const std::string data = boost::beast::buffers_to_string(m_buffer.data());
            if (m_ws.got_text()) {
                m_texts.push_back(data);
            } else {
                m_frames.emplace_back(data.begin(), data.end());
            }
            m_buffer.consume(m_buffer.size());
            read();
        });
    }

    boost::asio::io_context m_ioc;
    boost::beast::websocket::stream<boost::asio::ip::tcp::socket> m_ws;
    boost::beast::flat_buffer m_buffer;
    boost::system::error_code m_error;
    bool m_closed = false;
    std::vector<std::string> m_texts;
    std::vector<std::vector<uint8_t>> m_frames;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TESTS_TOOLS_VIEW_PAGE_CLIENT_H
