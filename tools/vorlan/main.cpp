// vorlan: the command-line tool of the Vorlan lidar SDK.
#include <unistd.h>

#include <iostream>

#include "cli.h"
#include "stop_signal.h"

int main(int argc, char** argv) {
    vorlan_tool::install_stop_handlers();
    return vorlan_tool::run_cli(argc, argv, std::cout, std::cerr, isatty(STDOUT_FILENO) != 0);
}
