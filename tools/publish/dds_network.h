// Where the publisher's DDS traffic may go, and on which domain. Without an
// interface named by the user (or a configuration of their own in
// CYCLONEDDS_URI), everything stays on this host: discovery by unicast to
// 127.0.0.1, the loopback interface only, no multicast. Sending a site's
// sensor data to the whole network is something the user asks for.
#ifndef VORLAN_TOOLS_PUBLISH_DDS_NETWORK_H
#define VORLAN_TOOLS_PUBLISH_DDS_NETWORK_H

#include <cstdint>
#include <string>

namespace vorlan_tool {

// The highest domain id DDS's standard port numbers allow.
constexpr uint32_t kMaxDdsDomain = 232;

struct DdsNetwork {
    // The CycloneDDS configuration to start the domain with; empty to let
    // CycloneDDS read CYCLONEDDS_URI.
    std::string config;
    // Which hosts the data reaches, for the user: "this host only (...)".
    std::string reach;
    bool host_only = false;
};

// The configuration that keeps DDS on this host.
std::string loopback_only_config();

// `interface`: a network interface's name or address, or empty.
// `cyclonedds_uri`: the environment's CYCLONEDDS_URI, or null. False, with
// `error` set, for an interface name that cannot be one or when both ask
// for a network.
bool choose_dds_network(const std::string& interface, const char* cyclonedds_uri, DdsNetwork& network,
                        std::string& error);

// `option`: the --domain given, or negative; `ros_domain_id`: the
// environment's ROS_DOMAIN_ID, or null. Neither given: domain 0.
bool choose_dds_domain(long option, const char* ros_domain_id, uint32_t& domain, std::string& error);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_PUBLISH_DDS_NETWORK_H
