// The files the viewer's page is made of, built into the tool: the page, its
// script and style, and the three.js modules it imports. The server answers
// with these and nothing else; a request names one by its fixed path, never
// a file on disk.
#ifndef VORLAN_TOOLS_VIEW_VIEW_ASSETS_H
#define VORLAN_TOOLS_VIEW_VIEW_ASSETS_H

#include <cstddef>
#include <string_view>

namespace vorlan_tool {

struct ViewAsset {
    std::string_view path;          // "/", "/viewer.js", ...
    std::string_view content_type;  // with its charset
    std::string_view bytes;
};

// The asset at `target` (a query string after '?' is ignored); nullptr for
// any other path.
const ViewAsset* find_view_asset(std::string_view target);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_VIEW_VIEW_ASSETS_H
