#include "frame_source.h"

#include "library_sources.h"

namespace vorlan_tool {

std::unique_ptr<FrameSource> make_frame_source(int library, Console& console) {
    return library == 2 ? make_second_library_source(console) : make_first_library_source(console);
}

}  // namespace vorlan_tool
