// `vorlan sim`: synthetic sensors into a capture file or onto a UDP port.
#include "commands.h"

namespace vorlan_tool {

int run_sim(const SimSettings&, Console& console) {
    console.error("sim: the simulator is not part of this build yet");
    return kExitFailure;
}

}  // namespace vorlan_tool
