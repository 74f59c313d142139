// A stand-in for a server that dies with a settings dialog open: it opens the dialog of
// argv[2] with program argv[1], prints the dialog program's process id, and ends abruptly (no
// clean-up, as after a crash) once the file argv[3] exists.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "codecsettings/DialogLauncher.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: codecsettings_dying_server PROGRAM FOURCC GO-FILE\n");
        return 2;
    }
    namespace cs = vireo::server::codecsettings;
    cs::LauncherOptions options;
    options.program = argv[1];
    auto* launcher = new cs::DialogLauncher(options);  // never destroyed: the process dies
    std::string const code = argv[2];
    std::uint32_t const codec = (std::uint32_t(std::uint8_t(code[0])) << 24) |
                                (std::uint32_t(std::uint8_t(code[1])) << 16) |
                                (std::uint32_t(std::uint8_t(code[2])) << 8) |
                                std::uint32_t(std::uint8_t(code[3]));
    launcher->Show(1, codec, {}, nullptr);
    std::int64_t pid = 0;
    for (int i = 0; i < 6000 && pid == 0; ++i) {
        pid = launcher->DialogProcessId(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::printf("%lld\n", static_cast<long long>(pid));
    std::fflush(stdout);
    for (int i = 0; i < 30000 && ::access(argv[3], F_OK) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::_exit(0);
}
