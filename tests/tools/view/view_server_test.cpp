#include "view_server.h"

#include <gtest/gtest.h>

#include <boost/asio.hpp>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "frame_message.h"
#include "page_client.h"

namespace vorlan_tool {
namespace {

FrameBytes frame_message(uint16_t slot, std::size_t index, std::size_t n_points) {
    std::vector<FramePoint> points(n_points);
    for (std::size_t i = 0; i < n_points; ++i) {
        points[i].x = static_cast<float>(i);
        points[i].flags = kFramePointValid;
    }
    Frame frame;
    frame.index = index;
    frame.points = points.data();
    frame.n_points = points.size();
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    encode_frame_message(frame, slot, *bytes);
    return bytes;
}

uint64_t index_of(const std::vector<uint8_t>& message) {
    uint64_t index = 0;
    std::memcpy(&index, message.data() + 8, sizeof index);
    return index;
}

class ViewServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ViewServerSettings settings;
        settings.header_limit = 2048;
        settings.max_pages = 3;
        std::string error;
        ASSERT_TRUE(m_server.start(settings, error)) << error;
        m_host = "127.0.0.1:" + std::to_string(m_server.port());
    }

    std::vector<std::string> commands() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_commands;
    }

    std::mutex m_mutex;
    std::vector<std::string> m_commands;
    ViewServer m_server{[this](const std::string& command) {
                            std::lock_guard<std::mutex> lock(m_mutex);
                            m_commands.push_back(command);
                        },
                        [] { return std::string("{\"type\":\"hello\"}"); }};
    std::string m_host;
};

TEST_F(ViewServerTest, AnswersOnlyItsOwnFilesAndRefusesBadRequests) {
    struct Case {
        const char* name;
        std::string request;
        int status;
    };
    const std::string host = "Host: " + m_host + "\r\n";
    const std::string close = "Connection: close\r\n\r\n";
    const std::vector<Case> cases = {
        {"the page", "GET / HTTP/1.1\r\n" + host + close, 200},
        {"its script", "GET /viewer.js HTTP/1.1\r\n" + host + close, 200},
        {"three.js", "HEAD /three/three.core.js HTTP/1.1\r\n" + host + close, 200},
        {"unknown path", "GET /secret.txt HTTP/1.1\r\n" + host + close, 404},
        {"dot-dot", "GET /../../../etc/passwd HTTP/1.1\r\n" + host + close, 404},
        {"encoded dot-dot", "GET /three/%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\n" + host + close, 404},
        {"absolute path", "GET /etc/passwd HTTP/1.1\r\n" + host + close, 404},
        {"directory", "GET /three/ HTTP/1.1\r\n" + host + close, 404},
        {"other method", "POST / HTTP/1.1\r\n" + host + "Content-Length: 2\r\n" + close + "{}", 405},
        {"foreign host name", "GET / HTTP/1.1\r\nHost: attacker.example:80\r\n" + close, 403},
        {"no host", "GET / HTTP/1.1\r\n" + close, 403},
        {"oversized header", "GET / HTTP/1.1\r\n" + host + "X-Pad: " + std::string(4096, 'a') + "\r\n" + close, 431},
        {"oversized body", "POST / HTTP/1.1\r\n" + host + "Content-Length: 100000\r\n" + close, 413},
        {"garbage", "\x16\x03\x01 not http at all\r\n\r\n", 400},
        {"stream on another path",
         "GET /ws HTTP/1.1\r\n" + host +
             "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
             "Sec-WebSocket-Version: 13\r\nOrigin: http://" + m_host + "\r\n\r\n",
         404},
        {"stream from another site",
         "GET /stream HTTP/1.1\r\n" + host +
             "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
             "Sec-WebSocket-Version: 13\r\nOrigin: http://attacker.example\r\n\r\n",
         403},
        {"stream without origin",
         "GET /stream HTTP/1.1\r\n" + host +
             "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
             "Sec-WebSocket-Version: 13\r\n\r\n",
         403},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string reply = http_exchange(m_server.port(), c.request);
        EXPECT_EQ(status_of(reply), c.status) << reply.substr(0, 200);
        EXPECT_EQ(reply.find("root:"), std::string::npos);
    }
    // Still serving after all of that.
    EXPECT_EQ(status_of(http_exchange(m_server.port(), "GET / HTTP/1.1\r\n" + host + close)), 200);
}

TEST_F(ViewServerTest, PagesGetHelloNewestFramesAndSendCommands) {
    m_server.publish_frame(0, frame_message(0, 1, 10));
    m_server.publish_frame(0, frame_message(0, 2, 10));  // the newest of sensor 0
    m_server.publish_frame(1, frame_message(1, 3, 10));
    PageClient first(m_server.port());
    PageClient second(m_server.port());
    for (PageClient* page : {&first, &second}) {
        ASSERT_TRUE(page->wait_for([&] { return page->frames().size() >= 2; })) << "a page got no frames";
        ASSERT_FALSE(page->texts().empty());
        EXPECT_EQ(page->texts().front(), "{\"type\":\"hello\"}");
        EXPECT_EQ(index_of(page->frames()[0]), 2u);
        EXPECT_EQ(index_of(page->frames()[1]), 3u);
    }
    m_server.publish_text("{\"type\":\"status\"}");
    m_server.publish_frame(1, frame_message(1, 4, 10));
    ASSERT_TRUE(first.wait_for([&] { return first.frames().size() >= 3 && first.texts().size() >= 2; }));
    EXPECT_EQ(index_of(first.frames()[2]), 4u);
    first.send("seek 1.5");
    second.send("pause");
    ASSERT_TRUE(first.wait_for([&] { return commands().size() >= 2; }, 10.0));
    EXPECT_EQ(m_server.stats().pages, 2u);
}

TEST_F(ViewServerTest, RefusesPagesBeyondItsLimitAndForeignOrigins) {
    PageClient foreign(m_server.port(), "http://attacker.example");
    EXPECT_FALSE(foreign.connected());
    std::vector<std::unique_ptr<PageClient>> pages;
    for (int i = 0; i < 3; ++i) {
        pages.push_back(std::make_unique<PageClient>(m_server.port()));
        ASSERT_TRUE(pages.back()->wait_for([&] { return !pages.back()->texts().empty(); }));
    }
    PageClient one_too_many(m_server.port());
    EXPECT_FALSE(one_too_many.connected());
}

// A browser tab that hangs: it opened the stream and then never reads.
// The server keeps at most one frame per sensor for it, counts the rest as
// dropped, and goes on serving the other pages.
TEST_F(ViewServerTest, ClientThatStopsReadingNeitherGrowsQueuesNorStallsOthers) {
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::socket stuck(ioc);
    stuck.connect({boost::asio::ip::make_address("127.0.0.1"), m_server.port()});
    stuck.set_option(boost::asio::socket_base::receive_buffer_size(4096));
    const std::string upgrade = "GET /stream HTTP/1.1\r\nHost: " + m_host +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                                "Origin: http://" + m_host + "\r\n\r\n";
    boost::asio::write(stuck, boost::asio::buffer(upgrade));

    PageClient reader(m_server.port());
    ASSERT_TRUE(reader.wait_for([&] { return !reader.texts().empty(); }));
    ASSERT_TRUE(reader.wait_for([&] { return m_server.stats().pages == 2; }));

    // Large frames, far more than the socket buffers hold.
    constexpr std::size_t kFrames = 60;
    for (std::size_t i = 0; i < kFrames; ++i) {
        m_server.publish_frame(static_cast<uint16_t>(i % 2), frame_message(static_cast<uint16_t>(i % 2), i, 100000));
        // The reading page drains as it goes, so it sees the last frames.
        reader.wait_for([&] { return !reader.frames().empty() && index_of(reader.frames().back()) == i; }, 0.5);
    }
    ASSERT_TRUE(reader.wait_for([&] {
        return !reader.frames().empty() && index_of(reader.frames().back()) >= kFrames - 2;
    }));
    const ViewServerStats stats = m_server.stats();
    EXPECT_GT(stats.frames_dropped, 0u);
    EXPECT_EQ(stats.frames_published, kFrames);

    // The stuck page hangs up in the middle of a frame; the others go on.
    stuck.close();
    m_server.publish_frame(0, frame_message(0, 1000, 10));
    ASSERT_TRUE(reader.wait_for([&] { return index_of(reader.frames().back()) == 1000u; }));
    EXPECT_TRUE(reader.wait_for([&] { return m_server.stats().pages == 1; }));
}

TEST(ViewServer, RefusesAnAddressItCannotListenOn) {
    ViewServer server({}, {});
    ViewServerSettings settings;
    std::string error;
    settings.bind = "not-an-address";
    EXPECT_FALSE(server.start(settings, error));
    EXPECT_NE(error.find("not-an-address"), std::string::npos);

    ViewServer holder({}, {});
    ASSERT_TRUE(holder.start(ViewServerSettings{}, error)) << error;
    settings.bind = "127.0.0.1";
    settings.port = holder.port();
    ViewServer second({}, {});
    // Address reuse must not let two servers share a port.
    EXPECT_FALSE(second.start(settings, error));
}

}  // namespace
}  // namespace vorlan_tool
