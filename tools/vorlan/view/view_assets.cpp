#include "view_assets.h"

#include <iterator>

// Each array is made by the build from the file of the same name.
extern const unsigned char kViewIndexHtml[];
extern const std::size_t kViewIndexHtml_size;
extern const unsigned char kViewViewerJs[];
extern const std::size_t kViewViewerJs_size;
extern const unsigned char kViewViewerCss[];
extern const std::size_t kViewViewerCss_size;
extern const unsigned char kViewThreeModuleJs[];
extern const std::size_t kViewThreeModuleJs_size;
extern const unsigned char kViewThreeCoreJs[];
extern const std::size_t kViewThreeCoreJs_size;
extern const unsigned char kViewOrbitControlsJs[];
extern const std::size_t kViewOrbitControlsJs_size;

namespace vorlan_tool {
namespace {

std::string_view bytes_of(const unsigned char* data, std::size_t size) {
    return std::string_view(reinterpret_cast<const char*>(data), size);
}

const ViewAsset* assets() {
    static const ViewAsset table[] = {
        {"/", "text/html; charset=utf-8", bytes_of(kViewIndexHtml, kViewIndexHtml_size)},
        {"/viewer.js", "text/javascript; charset=utf-8", bytes_of(kViewViewerJs, kViewViewerJs_size)},
        {"/viewer.css", "text/css; charset=utf-8", bytes_of(kViewViewerCss, kViewViewerCss_size)},
        {"/three/three.module.js", "text/javascript; charset=utf-8",
         bytes_of(kViewThreeModuleJs, kViewThreeModuleJs_size)},
        {"/three/three.core.js", "text/javascript; charset=utf-8", bytes_of(kViewThreeCoreJs, kViewThreeCoreJs_size)},
        {"/three/OrbitControls.js", "text/javascript; charset=utf-8",
         bytes_of(kViewOrbitControlsJs, kViewOrbitControlsJs_size)},
        {"", "", ""},
    };
    return table;
}

}  // namespace

const ViewAsset* find_view_asset(std::string_view target) {
    target = target.substr(0, target.find('?'));
    for (const ViewAsset* asset = assets(); !asset->path.empty(); ++asset) {
        if (asset->path == target) {
            return asset;
        }
    }
    return nullptr;
}

}  // namespace vorlan_tool
