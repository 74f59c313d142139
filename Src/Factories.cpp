// The factories, and the holders the client and server manager classes give of themselves.
#include "Orb/ObjectModel.h"
#include "VireoClient/VireoClient.h"
#include "VireoClientImpl.h"
#include "VireoServerManager.h"

namespace VireoClient {

// Reference counting and queries come from Orb's object model (SharedImplementation,
// PrivateImplementation); the classes add only the holder of themselves.

InterfaceRef<VireoServerManager, IVireoServerManager>
VireoSingletonServerManager::GetServerManagerRef() {
    return InterfaceRef<VireoServerManager, IVireoServerManager>(this);
}

InterfaceRef<VireoServerManager, IVireoServerManager>
VireoUniqueServerManager::GetServerManagerRef() {
    return InterfaceRef<VireoServerManager, IVireoServerManager>(this);
}

InterfaceRef<VireoClient, IVireoClient> VireoSingletonClient::GetClientRef() {
    return InterfaceRef<VireoClient, IVireoClient>(this);
}

InterfaceRef<VireoClient, IVireoClient> VireoUniqueClient::GetClientRef() {
    return InterfaceRef<VireoClient, IVireoClient>(this);
}

// ---- Factories ----------------------------------------------------------------------------------

InterfaceRef<IVireoClient, IVireoClient> Create() {
    InterfaceRef<VireoClient, IVireoClient> client(VireoSingletonClient::Get());
    InterfaceRef<VireoServerManager, IVireoServerManager> manager(
        VireoSingletonServerManager::Get());
    if (!client) {
        throw Orb::NullInterfaceException();
    }
    client->Connect(manager, false);
    manager.reset();
    return InterfaceRef<IVireoClient, IVireoClient>(std::move(client));
}

InterfaceRef<IVireoClient, IVireoClient> CreateUniqueInstance() {
    InterfaceRef<VireoClient, IVireoClient> client(VireoUniqueClient::Make());
    InterfaceRef<VireoServerManager, IVireoServerManager> manager(VireoUniqueServerManager::Make());
    if (!client) {
        throw Orb::NullInterfaceException();
    }
    client->Connect(manager, true);
    InterfaceRef<VireoClient, IVireoClient> shared(Create());
    if (!shared) {
        throw Orb::NullInterfaceException();
    }
    client->SetQTFlushIterval(shared->GetFlushInterval());
    shared.reset();
    return InterfaceRef<IVireoClient, IVireoClient>(std::move(client));
}

InterfaceRef<IVireoServerManager, IVireoServerManager> CreateServerManagerInstance() {
    InterfaceRef<VireoServerManager, IVireoServerManager> manager(
        VireoSingletonServerManager::Get());
    if (!manager) {
        return InterfaceRef<IVireoServerManager, IVireoServerManager>();
    }
    return InterfaceRef<IVireoServerManager, IVireoServerManager>(std::move(manager));
}

}  // namespace VireoClient
