#pragma once
// The video outputs as the vireo sub-commands use them.
#include <vector>

#include "Orb/InterfaceRef.h"
#include "VireoClient/IVireoClient.h"

namespace vireo::cli {

using ClientRef = InterfaceRef<VireoClient::IVireoClient, VireoClient::IVireoClient>;

// The server's components, in its order (empty when it has none or cannot be asked).
std::vector<VireoServer::QTVOutComponent> ListOutputs(ClientRef const& client);

}  // namespace vireo::cli
