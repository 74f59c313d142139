// Corvid Vireo Server: the process that runs the media engine for VireoClient.
//   --name <server name> --registry <dir> --instance <instance> --parent-pid <pid> [--idle-ms <ms>]

#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <exception>

#include "Lifetime.h"
#include "Log.h"
#include "MediaLibraries.h"
#include "MethodGroups.h"
#include "ServerApp.h"
#include "basekit/utility/Parse.h"
#include "crossprocess/CrossProcess.h"
#include "hostlink/ServerSide.h"

namespace {

// Where large buffers come from. By default glibc's own rule: once the first large buffer is
// freed it raises the size above which a buffer is mapped on its own, so the decoders' frames
// of megabytes come from its arenas, which keep some freed memory (the resident size settles
// some 150 MiB above the memory in use with 32 open 1080p movies). VIREO_SERVER_MMAP_THRESHOLD
// (bytes) fixes that size instead: every larger buffer is then mapped on its own and returned
// when freed, which holds the resident size flat to a few MiB but costs mappings and page faults
// each time a decoder allocates a large buffer anew: about 5 % of the frame rate with 32 movies
// open.
void ChooseTheMappingThreshold() {
    std::int64_t const threshold = basekit::utility::EnvironmentInteger(
        "VIREO_SERVER_MMAP_THRESHOLD", 0, 1, std::int64_t{32} * 1024 * 1024);
    if (threshold > 0) {
        mallopt(M_MMAP_THRESHOLD, static_cast<int>(threshold));
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that the server's signalfd receives them.
    vireo::server::BlockTerminationSignals();
    ChooseTheMappingThreshold();

    hostlink::server::LaunchOptions options;
    std::string error;
    if (!hostlink::server::ParseLaunchOptions(argc, argv, options, error)) {
        std::fprintf(stderr,
                     "%s\nusage: %s --name <server name> --registry <dir> [--instance <name>] "
                     "[--parent-pid <pid>] [--idle-ms <ms>]\n",
                     error.c_str(), argc > 0 ? argv[0] : "server");
        return 2;
    }
    // Reclaims at once the shared-memory segments of processes that died without cleaning up,
    // instead of waiting for the periodic scan.
    crossprocess::InitializeClient();
    try {
        vireo::server::ServerApp app(options);
        auto& context = app.Context();
        context.SetMediaLibrariesPresent(vireo::server::ProbeMediaLibraries());
        vireo::server::RegisterSpineMethods(context);
        vireo::server::RegisterCodecSettingsMethods(context);
        vireo::server::RegisterFileMethods(context);
        vireo::server::RegisterExportMethods(context);
#if defined(VIREO_SERVER_HAS_MOVIE_METHODS)
        vireo::server::RegisterMovieMethods(context);
#endif
        vireo::server::RegisterVideoOutputMethods(context);
        return app.Run();
    } catch (std::exception const& e) {
        vireo::server::Log("fatal: %s", e.what());
        hostlink::server::Withdraw(options);
        return 1;
    }
}
