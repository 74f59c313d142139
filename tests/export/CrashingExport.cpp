// A process that dies in the middle of an export, as a server that crashes or is killed does:
// it starts an export into the directory it is given, writes a few frames and kills itself.
// Usage: export_crashing_helper <directory> <journal directory>
#include <csignal>
#include <cstdio>
#include <string>

#include "ExportTestSupport.h"
#include "engine/FourCC.h"

int main(int argc, char** argv) {
    using namespace vireo::test::exporting;
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <directory> <journal>\n", argv[0]);
        return 2;
    }
    ex::ServiceOptions options;
    options.journalDirectory = argv[2];
    ex::ExportService service(options);
    ex::ExportId const id = NewId();
    std::uint32_t const png = vireo::engine::MakeFourCC("png ");
    if (StartExport(service, 1, id,
                    VideoSettings(std::string(argv[1]) + "/out.mov", png, 32, 16, 10)) != 0) {
        return 1;
    }
    for (std::uint32_t i = 0; i < 3; ++i) {
        if (SubmitFrame(service, 1, id, i,
                        MakeFrame(vireo::engine::MakeFourCC("BGRA"), 32, 16, int(i))) != 0) {
            return 1;
        }
    }
    std::raise(SIGKILL);
    return 1;
}
