#include "request_checks.h"

#include <gtest/gtest.h>

#include <vector>

#include "view_assets.h"

namespace vorlan_tool {
namespace {

TEST(RequestChecks, HostNamesServedOnLoopbackAndWhenExposed) {
    struct Case {
        const char* host;
        bool on_loopback;
        bool exposed;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1:8080", true, true},
        {"127.0.0.1", true, true},
        {"localhost:1", true, true},
        {"LOCALHOST:1", true, true},
        {"[::1]:8080", true, true},
        {"127.1.2.3:80", true, true},
        // A name that another site points at this host's address.
        {"attacker.example:8080", false, true},
        {"192.168.1.5:8080", false, true},
        {"localhost.attacker.example", false, true},
        // Malformed headers are refused whatever the binding.
        {"", false, false},
        {":8080", false, false},
        {"127.0.0.1:80x", false, false},
        {"127.0.0.1:123456", false, false},
        {"[::1", false, false},
        {"[::1]x", false, false},
        {"local host", false, false},
        {"a/b", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        EXPECT_EQ(host_allowed(c.host, HostPolicy{true}), c.on_loopback);
        EXPECT_EQ(host_allowed(c.host, HostPolicy{false}), c.exposed);
    }
}

TEST(RequestChecks, OnlyTheServedPageMayOpenTheStream) {
    struct Case {
        const char* origin;
        const char* host;
        bool allowed;
    };
    const std::vector<Case> cases = {
        {"http://127.0.0.1:8080", "127.0.0.1:8080", true},
        {"http://LocalHost:9", "localhost:9", true},
        {"http://127.0.0.1:8081", "127.0.0.1:8080", false},
        {"https://127.0.0.1:8080", "127.0.0.1:8080", false},
        {"http://evil.example", "127.0.0.1:8080", false},
        {"null", "127.0.0.1:8080", false},
        {"", "127.0.0.1:8080", false},
        {"http://", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.origin) + " on " + c.host);
        EXPECT_EQ(origin_allowed(c.origin, c.host), c.allowed);
    }
}

TEST(ViewAssets, OnlyFixedPathsAreServed) {
    struct Case {
        const char* target;
        bool served;
    };
    const std::vector<Case> cases = {
        {"/", true},
        {"/?x=1", true},
        {"/viewer.js", true},
        {"/three/three.module.js", true},
        {"/three/OrbitControls.js", true},
        {"", false},
        {"/index.html/..", false},
        {"/../viewer.js", false},
        {"/three/../viewer.js", false},
        {"/three/", false},
        {"/etc/passwd", false},
        {"//viewer.js", false},
        {"/viewer.js/", false},
        {"/VIEWER.JS", false},
        {"/%2e%2e/%2e%2e/etc/passwd", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        const ViewAsset* asset = find_view_asset(c.target);
        EXPECT_EQ(asset != nullptr, c.served);
        if (asset != nullptr) {
            EXPECT_FALSE(asset->bytes.empty());
        }
    }
    // The add-on imports three.js from the served copy, not by a bare name.
    const ViewAsset* controls = find_view_asset("/three/OrbitControls.js");
    ASSERT_NE(controls, nullptr);
    EXPECT_EQ(controls->bytes.find("from 'three'"), std::string_view::npos);
}

}  // namespace
}  // namespace vorlan_tool
