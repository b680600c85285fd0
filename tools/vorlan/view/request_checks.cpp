#include "request_checks.h"

#include <algorithm>
#include <cctype>

namespace vorlan_tool {
namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

bool all_digits(std::string_view text) {
    return !text.empty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

bool name_character(unsigned char c) {
    return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_';
}

}  // namespace

std::string host_name_of(std::string_view host) {
    if (host.empty()) {
        return std::string();
    }
    if (host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos) {
            return std::string();
        }
        const std::string_view rest = host.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !all_digits(rest.substr(1)))) {
            return std::string();
        }
        const std::string_view name = host.substr(1, close - 1);
        const bool ok = !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
            return std::isxdigit(c) != 0 || c == ':' || c == '.';
        });
        return ok ? lower(name) : std::string();
    }
    const std::size_t colon = host.find(':');
    const std::string_view name = host.substr(0, colon);
    if (colon != std::string_view::npos && !all_digits(host.substr(colon + 1))) {
        return std::string();
    }
    if (name.empty() || !std::all_of(name.begin(), name.end(), name_character)) {
        return std::string();
    }
    return lower(name);
}

bool host_allowed(std::string_view host_header, const HostPolicy& policy) {
    const std::string name = host_name_of(host_header);
    if (name.empty()) {
        return false;
    }
    if (!policy.loopback_only) {
        return true;
    }
    return name == "localhost" || name == "::1" || name.rfind("127.", 0) == 0;
}

bool origin_allowed(std::string_view origin, std::string_view host_header) {
    if (host_name_of(host_header).empty()) {
        return false;
    }
    return lower(origin) == "http://" + lower(host_header);
}

}  // namespace vorlan_tool
