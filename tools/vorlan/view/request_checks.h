// What the viewer's server accepts from a request before it answers: which
// Host names it serves (a page on another site that points its own name at
// this host's address must not reach it) and which page may open the
// WebSocket (its own, nobody else's).
#ifndef VORLAN_TOOLS_VIEW_REQUEST_CHECKS_H
#define VORLAN_TOOLS_VIEW_REQUEST_CHECKS_H

#include <string>
#include <string_view>

namespace vorlan_tool {

struct HostPolicy {
    // Bound to a loopback address: only loopback names are served. Bound
    // elsewhere on purpose (--bind): any name the host is reached by.
    bool loopback_only = true;
};

// The name part of a Host header ("127.0.0.1:8080" -> "127.0.0.1",
// "[::1]:80" -> "::1"); empty when the header is malformed.
std::string host_name_of(std::string_view host_header);

bool host_allowed(std::string_view host_header, const HostPolicy& policy);

// The WebSocket is opened only by the page the server itself served: the
// Origin must be http:// and the very host the request was sent to.
bool origin_allowed(std::string_view origin, std::string_view host_header);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_VIEW_REQUEST_CHECKS_H
