#pragma once
// The library's exported functions.
#include <cstdint>
#include <map>
#include <vector>

#include "Orb/InterfaceRef.h"
#include "VireoClient/IVireoClient.h"
#include "VireoClient/IVireoImporter.h"
#include "VireoClient/IVireoServerManager.h"
#include "VireoServer/ServiceRecords.h"
#include "basekit/Strings.h"

#define VIREO_API __attribute__((visibility("default")))

namespace VireoClient {

// The process-wide shared client, connected to the shared server (started if needed).
VIREO_API InterfaceRef<IVireoClient, IVireoClient> Create();
// A private client with a server process of its own; also makes sure the shared client exists.
VIREO_API InterfaceRef<IVireoClient, IVireoClient> CreateUniqueInstance();
// The shared server manager, not initialised.
VIREO_API InterfaceRef<IVireoServerManager, IVireoServerManager> CreateServerManagerInstance();

// Opens a movie through the shared client and waits for the answer. 0 with `importer` set, or an
// error code with `importer` empty (5: the request could not be sent or was not answered). Called
// on a thread that runs the library's handlers (an RPC answer or a data notification) it would
// wait for itself: it returns 5 at once instead, after a contract report.
VIREO_API long ImportFile(basekit::UTF16String const& path, bool flag1, bool flag2, bool flag3,
                          InterfaceRef<IVireoImporter, IVireoImporter>& importer);

// Trims through the shared client and waits for the result: the server's code (0: done), 5 when
// the request failed, 13 when it could not be sent (no server, or called on a thread that runs
// the library's handlers).
VIREO_API long TrimFile(VireoServer::TrimMovieParams const& params);

// The files the movie at `path` refers to. The recorded paths of `first`, then `second` (position
// in the list -> path) are confirmed on disk first, a missing one looked for by name next to the
// movie; when all are found they are stored at their positions and the server is not asked.
// Otherwise the server's list replaces `references` (false: no server, or the engine is absent).
VIREO_API bool GetExternalReferencesList(
    basekit::UTF16String const& path, std::map<std::uint32_t, basekit::UTF16String> const& first,
    std::map<std::uint32_t, basekit::UTF16String> const& second,
    std::vector<basekit::UTF16String>& references);

}  // namespace VireoClient
