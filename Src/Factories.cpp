// Reference counting and queries of the client and server manager classes, and the factories.
#include "Orb/ObjectModel.h"
#include "VireoClient/VireoClient.h"
#include "VireoClientImpl.h"
#include "VireoServerManager.h"

namespace VireoClient {

using basekit::utility::Guid;

// ---- Shared and private server managers
// ----------------------------------------------------------

void VireoSingletonServerManager::AddRef() {
    Orb::SharedObject<VireoSingletonServerManager>::AddRef();
}
void VireoSingletonServerManager::Release() {
    Orb::SharedObject<VireoSingletonServerManager>::Release();
}
std::int32_t VireoSingletonServerManager::QueryInterfaceNoRef(Guid const& id, OrbUnknown** out) {
    return Orb::AnswerQuery(this, id, out,
                            {&VireoSingletonServerManager::kIID, &IVireoServerManager::kIID,
                             &VireoServerManager::kIID, &OrbUnknown::kIID});
}
std::int32_t VireoSingletonServerManager::QueryInterface(Guid const& id, OrbUnknown** out) {
    return Orb::AnswerQueryWithRef(this, id, out);
}
InterfaceRef<VireoServerManager, IVireoServerManager>
VireoSingletonServerManager::GetServerManagerRef() {
    return InterfaceRef<VireoServerManager, IVireoServerManager>(this);
}
InterfaceRef<VireoSingletonServerManager> VireoSingletonServerManager::Get() {
    return Orb::SharedObject<VireoSingletonServerManager>::Get();
}

void VireoUniqueServerManager::AddRef() {
    mRefCount.fetch_add(1, std::memory_order_relaxed);
}
void VireoUniqueServerManager::Release() {
    if (mRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}
std::int32_t VireoUniqueServerManager::QueryInterfaceNoRef(Guid const& id, OrbUnknown** out) {
    return Orb::AnswerQuery(this, id, out,
                            {&VireoUniqueServerManager::kIID, &IVireoServerManager::kIID,
                             &VireoServerManager::kIID, &OrbUnknown::kIID});
}
std::int32_t VireoUniqueServerManager::QueryInterface(Guid const& id, OrbUnknown** out) {
    return Orb::AnswerQueryWithRef(this, id, out);
}
InterfaceRef<VireoServerManager, IVireoServerManager>
VireoUniqueServerManager::GetServerManagerRef() {
    return InterfaceRef<VireoServerManager, IVireoServerManager>(this);
}
InterfaceRef<VireoUniqueServerManager> VireoUniqueServerManager::Make() {
    return InterfaceRef<VireoUniqueServerManager>(new VireoUniqueServerManager());
}

// ---- Shared and private clients
// ------------------------------------------------------------------

void VireoSingletonClient::AddRef() {
    Orb::SharedObject<VireoSingletonClient>::AddRef();
}
void VireoSingletonClient::Release() {
    Orb::SharedObject<VireoSingletonClient>::Release();
}
std::int32_t VireoSingletonClient::QueryInterfaceNoRef(Guid const& id, OrbUnknown** out) {
    return Orb::AnswerQuery(
        this, id, out,
        {&VireoSingletonClient::kIID, &IVireoClient::kIID, &VireoClient::kIID, &OrbUnknown::kIID});
}
std::int32_t VireoSingletonClient::QueryInterface(Guid const& id, OrbUnknown** out) {
    return Orb::AnswerQueryWithRef(this, id, out);
}
InterfaceRef<VireoClient, IVireoClient> VireoSingletonClient::GetClientRef() {
    return InterfaceRef<VireoClient, IVireoClient>(this);
}
InterfaceRef<VireoSingletonClient> VireoSingletonClient::Get() {
    return Orb::SharedObject<VireoSingletonClient>::Get();
}

void VireoUniqueClient::AddRef() {
    mRefCount.fetch_add(1, std::memory_order_relaxed);
}
void VireoUniqueClient::Release() {
    if (mRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}
std::int32_t VireoUniqueClient::QueryInterfaceNoRef(Guid const& id, OrbUnknown** out) {
    return Orb::AnswerQuery(
        this, id, out,
        {&VireoUniqueClient::kIID, &IVireoClient::kIID, &VireoClient::kIID, &OrbUnknown::kIID});
}
std::int32_t VireoUniqueClient::QueryInterface(Guid const& id, OrbUnknown** out) {
    return Orb::AnswerQueryWithRef(this, id, out);
}
InterfaceRef<VireoClient, IVireoClient> VireoUniqueClient::GetClientRef() {
    return InterfaceRef<VireoClient, IVireoClient>(this);
}
InterfaceRef<VireoUniqueClient> VireoUniqueClient::Make() {
    return InterfaceRef<VireoUniqueClient>(new VireoUniqueClient());
}

// ---- Factories
// ------------------------------------------------------------------------------------

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
