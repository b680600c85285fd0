#include "dds_network.h"

#include <cctype>
#include <cstdlib>

namespace vorlan_tool {
namespace {

// Interface names and addresses are letters, digits and a little
// punctuation; anything else could change the XML it goes into.
bool is_interface_name(const std::string& name) {
    if (name.empty() || name.size() > 64) {
        return false;
    }
    for (unsigned char c : name) {
        if (!std::isalnum(c) && c != '.' && c != ':' && c != '_' && c != '-' && c != '@') {
            return false;
        }
    }
    return true;
}

bool looks_like_address(const std::string& name) {
    bool digit = false;
    for (unsigned char c : name) {
        if (std::isdigit(c)) {
            digit = true;
        } else if (c != '.' && c != ':' && !std::isxdigit(c)) {
            return false;
        }
    }
    return digit && name.find_first_of(".:") != std::string::npos;
}

}  // namespace

std::string loopback_only_config() {
    // Unicast discovery needs each participant at a port found from its
    // index; "auto" takes the first free one.
    return "<CycloneDDS><Domain id=\"any\">"
           "<General><Interfaces><NetworkInterface address=\"127.0.0.1\"/></Interfaces>"
           "<AllowMulticast>false</AllowMulticast></General>"
           "<Discovery><ParticipantIndex>auto</ParticipantIndex>"
           "<MaxAutoParticipantIndex>40</MaxAutoParticipantIndex>"
           "<Peers><Peer address=\"127.0.0.1\"/></Peers></Discovery>"
           "</Domain></CycloneDDS>";
}

bool choose_dds_network(const std::string& interface, const char* cyclonedds_uri, DdsNetwork& network,
                        std::string& error) {
    const bool user_config = cyclonedds_uri != nullptr && cyclonedds_uri[0] != '\0';
    if (!interface.empty() && user_config) {
        error = "--interface and CYCLONEDDS_URI both choose the network; give one of them";
        return false;
    }
    if (user_config) {
        network.config.clear();
        network.reach = "the network CYCLONEDDS_URI configures";
        network.host_only = false;
        return true;
    }
    if (interface.empty()) {
        network.config = loopback_only_config();
        network.reach = "this host only (loopback, unicast discovery, no multicast); --interface NAME reaches "
                        "other hosts";
        network.host_only = true;
        return true;
    }
    if (!is_interface_name(interface)) {
        error = "'" + interface + "' is not a network interface's name or address";
        return false;
    }
    const char* attribute = looks_like_address(interface) ? "address" : "name";
    network.config = std::string("<CycloneDDS><Domain id=\"any\"><General><Interfaces><NetworkInterface ") +
                     attribute + "=\"" + interface + "\"/></Interfaces></General></Domain></CycloneDDS>";
    network.reach = "every host the network interface " + interface + " reaches";
    network.host_only = false;
    return true;
}

bool choose_dds_domain(long option, const char* ros_domain_id, uint32_t& domain, std::string& error) {
    if (option >= 0) {
        if (option > static_cast<long>(kMaxDdsDomain)) {
            error = "--domain " + std::to_string(option) + " is above " + std::to_string(kMaxDdsDomain) +
                    ", the highest DDS domain";
            return false;
        }
        domain = static_cast<uint32_t>(option);
        return true;
    }
    if (ros_domain_id == nullptr || ros_domain_id[0] == '\0') {
        domain = 0;
        return true;
    }
    char* end = nullptr;
    const long value = std::strtol(ros_domain_id, &end, 10);
    if (*end != '\0' || !std::isdigit(static_cast<unsigned char>(ros_domain_id[0])) || value < 0 ||
        value > static_cast<long>(kMaxDdsDomain)) {
        error = std::string("ROS_DOMAIN_ID '") + ros_domain_id + "' is not a DDS domain from 0 to " +
                std::to_string(kMaxDdsDomain);
        return false;
    }
    domain = static_cast<uint32_t>(value);
    return true;
}

}  // namespace vorlan_tool
