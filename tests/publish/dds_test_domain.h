// Keeps a test's DDS traffic on this host: unicast discovery on 127.0.0.1
// only, the loopback interface only, no multicast, and a domain id drawn at
// random, so that runs side by side do not hear each other. Set before the
// first DDS entity of the process; programs the test starts inherit it.
#ifndef VORLAN_TESTS_PUBLISH_DDS_TEST_DOMAIN_H
#define VORLAN_TESTS_PUBLISH_DDS_TEST_DOMAIN_H

#include <cstdint>
#include <cstdlib>
#include <random>

namespace vorlan_test {

constexpr const char* kLoopbackOnlyDds =
    "<CycloneDDS><Domain id=\"any\">"
    "<General><Interfaces><NetworkInterface address=\"127.0.0.1\"/></Interfaces>"
    "<AllowMulticast>false</AllowMulticast></General>"
    "<Discovery><ParticipantIndex>auto</ParticipantIndex><MaxAutoParticipantIndex>40</MaxAutoParticipantIndex>"
    "<Peers><Peer address=\"127.0.0.1\"/></Peers></Discovery>"
    "</Domain></CycloneDDS>";

// Returns the domain id the test is to use.
inline uint32_t keep_dds_on_this_host() {
    setenv("CYCLONEDDS_URI", kLoopbackOnlyDds, 1);
    unsetenv("ROS_DOMAIN_ID");
    std::random_device seed;
    return 1 + seed() % 232;
}

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_PUBLISH_DDS_TEST_DOMAIN_H
