#include "dds_network.h"

#include <gtest/gtest.h>

namespace vorlan_tool {
namespace {

// Nothing the user did not ask for reaches beyond this host.
TEST(DdsNetwork, KeepsToThisHostUnlessTheUserChoosesANetwork) {
    struct Case {
        const char* interface;
        const char* uri;
        bool ok;
        bool host_only;
        const char* config_has;  // empty: no configuration of ours
    };
    const Case cases[] = {
        {"", nullptr, true, true, "<NetworkInterface address=\"127.0.0.1\"/>"},
        {"", "", true, true, "<AllowMulticast>false</AllowMulticast>"},
        {"", "file:///etc/dds.xml", true, false, ""},
        {"eth0", nullptr, true, false, "<NetworkInterface name=\"eth0\"/>"},
        {"192.168.1.10", nullptr, true, false, "<NetworkInterface address=\"192.168.1.10\"/>"},
        {"eth0", "file:///etc/dds.xml", false, false, ""},
        {"eth0\"/><Peers", nullptr, false, false, ""},
        {"a b", nullptr, false, false, ""},
    };
    for (const Case& c : cases) {
        DdsNetwork network;
        std::string error;
        ASSERT_EQ(choose_dds_network(c.interface, c.uri, network, error), c.ok) << c.interface << " " << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(network.host_only, c.host_only) << c.interface;
        if (c.config_has[0] == '\0') {
            EXPECT_TRUE(network.config.empty()) << network.config;
        } else {
            EXPECT_NE(network.config.find(c.config_has), std::string::npos) << network.config;
        }
        if (c.host_only) {
            // Peers by unicast on loopback, and the user told how to reach further.
            EXPECT_NE(network.config.find("<Peer address=\"127.0.0.1\"/>"), std::string::npos);
            EXPECT_NE(network.reach.find("--interface NAME"), std::string::npos);
        }
    }
}

TEST(DdsNetwork, DomainFromOptionThenRosDomainIdThenZero) {
    struct Case {
        long option;
        const char* env;
        bool ok;
        uint32_t domain;
    };
    const Case cases[] = {
        {-1, nullptr, true, 0}, {-1, "", true, 0},       {-1, "42", true, 42},   {7, "42", true, 7},
        {232, nullptr, true, 232}, {233, nullptr, false, 0}, {-1, "233", false, 0}, {-1, "4x", false, 0},
        {-1, "-1", false, 0},   {-1, " 3", false, 0},     {-1, "99999999999999999999", false, 0},
    };
    for (const Case& c : cases) {
        uint32_t domain = 999;
        std::string error;
        EXPECT_EQ(choose_dds_domain(c.option, c.env, domain, error), c.ok) << c.option << " " << (c.env ? c.env : "-");
        if (c.ok) {
            EXPECT_EQ(domain, c.domain);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

}  // namespace
}  // namespace vorlan_tool
