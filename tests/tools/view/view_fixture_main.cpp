// `vorlan view` over a synthetic source, for the browser tests and the
// benchmark: prints "url http://127.0.0.1:PORT/", serves until SIGINT or
// SIGTERM, then prints the server's counts.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "stop_signal.h"
#include "synthetic_frame_source.h"
#include "viewer.h"

int main(int argc, char** argv) {
    using namespace vorlan_tool;
    SyntheticSourceSettings settings;
    ViewServerSettings server;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--sensors") {
            settings.sensors = static_cast<unsigned>(std::atoi(value));
        } else if (name == "--points") {
            settings.points = static_cast<std::size_t>(std::atol(value));
        } else if (name == "--seconds") {
            settings.seconds = std::atof(value);
        } else if (name == "--speed") {
            settings.speed = static_cast<float>(std::atof(value));
        } else if (name == "--live") {
            settings.live = std::strcmp(value, "1") == 0;
        } else if (name == "--web-port") {
            server.port = static_cast<uint16_t>(std::atoi(value));
        } else {
            std::cerr << "view_fixture: unknown option " << name << "\n";
            return 2;
        }
    }
    install_stop_handlers();
    SyntheticFrameSource source(settings);
    Viewer viewer(source, 0.0, settings.speed, true);
    std::string error;
    if (!viewer.start_server(server, error)) {
        std::cerr << "view_fixture: " << error << "\n";
        return 1;
    }
    std::cout << "url http://127.0.0.1:" << viewer.port() << "/" << std::endl;
    const int code = viewer.run();
    viewer.stop_server();
    const ViewServerStats stats = viewer.stats();
    std::cout << "frames published " << stats.frames_published << " sent " << stats.frames_sent << " dropped "
              << stats.frames_dropped << " bytes/point "
              << (stats.points_sent > 0 ? static_cast<double>(stats.frame_bytes_sent) / stats.points_sent : 0.0)
              << std::endl;
    return code;
}
