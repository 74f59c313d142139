// Corvid Vireo Server: the process that runs the media engine for VireoClient.
//   --name <server name> --registry <dir> --instance <instance> --parent-pid <pid> [--idle-ms <ms>]

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "Lifetime.h"
#include "Log.h"
#include "MediaLibraries.h"
#include "MethodGroups.h"
#include "ServerApp.h"
#include "crossprocess/CrossProcess.h"
#include "hostlink/ServerSide.h"

namespace {

// The server decodes many movies for hours. glibc's allocator would keep the freed memory of
// their large buffers (decoders' frames of megabytes) inside its arenas, and once the first
// such buffer is freed it raises the size above which a buffer is mapped on its own, so the
// resident size creeps up long after the memory in use stopped growing. A fixed threshold keeps
// every large buffer mapped on its own and returned to the system when freed; the decoders
// reuse their frames from pools, so this costs few mappings. VIREO_SERVER_MMAP_THRESHOLD (bytes,
// 0: glibc's own adaptive threshold) overrides it, for measuring.
void BoundTheAllocator() {
    long threshold = 256 * 1024;
    if (char const* text = std::getenv("VIREO_SERVER_MMAP_THRESHOLD")) {
        threshold = std::strtol(text, nullptr, 10);
    }
    if (threshold > 0) {
        mallopt(M_MMAP_THRESHOLD, static_cast<int>(threshold));
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that the server's signalfd receives them.
    vireo::server::BlockTerminationSignals();
    BoundTheAllocator();

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
