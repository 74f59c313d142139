#pragma once
// The server manager: finds or starts the server process, connects an RPC client to it, watches
// the session and shuts it down when its last user leaves.
#include <boost/shared_ptr.hpp>
#include <cstdint>

#include "Orb/InterfaceRef.h"
#include "VireoClient/IVireoServerManager.h"
#include "basekit/threads/RecursiveMutex.h"
#include "basemarshal/RPCClient.h"
#include "basetransport/SocketTransport.h"
#include "hostlink/HostLink.h"

namespace VireoClient {

class VireoServerManager : public IVireoServerManager {
  public:
    static constexpr basekit::utility::Guid kIID{"{03C8CE3B-8FCD-49C1-8DBC-3DCC54EB9C20}"};

    std::int32_t InitializeClient(bool unique) override;
    void UninitializeClient() override;
    // 7: this manager with one reference added.
    virtual InterfaceRef<VireoServerManager, IVireoServerManager> GetServerManagerRef() = 0;

    // The RPC client of the current session (empty when there is no server). Taken under the
    // manager's lock, so it waits while a connection attempt is under way.
    boost::shared_ptr<basemarshal::RPCClient> GetRPCClient();

    // Forgets the session if it is `session`. Runs on a transport thread.
    void OnSessionEnded(basetransport::SessionPtr const& session);
    // Registered with the transport; addresses the shared manager. Runs on a transport thread.
    static basetransport::TransportError SessionEndedHandler(basetransport::SessionPtr session);

    struct ConnectionAttempt;

  protected:
    VireoServerManager();
    ~VireoServerManager() override;

  private:
    basekit::threads::RecursiveMutex mMutex;
    std::uint32_t mInitCount = 0;
    boost::shared_ptr<basemarshal::RPCClient> mRPCClient;
    boost::shared_ptr<basetransport::SocketTransport> mTransport;
    basetransport::SessionPtr mSession;
    basetransport::SessionHandlerID mSessionHandlerID;
    bool mCrossProcessInitialized = false;
};

// The shared server manager: one per process while it has references.
class VireoSingletonServerManager final : public VireoServerManager {
  public:
    static constexpr basekit::utility::Guid kIID{"{38AC7E05-7296-4B38-AE3D-775B25410B20}"};

    void AddRef() override;
    void Release() override;
    std::int32_t QueryInterface(basekit::utility::Guid const& id, OrbUnknown** out) override;
    std::int32_t QueryInterfaceNoRef(basekit::utility::Guid const& id, OrbUnknown** out) override;
    InterfaceRef<VireoServerManager, IVireoServerManager> GetServerManagerRef() override;

    // The shared manager, built if none exists.
    static InterfaceRef<VireoSingletonServerManager> Get();

    VireoSingletonServerManager() = default;
    ~VireoSingletonServerManager() override = default;
};

// A private server manager: serves one private client with a server process of its own.
class VireoUniqueServerManager final : public VireoServerManager {
  public:
    static constexpr basekit::utility::Guid kIID{"{38D3749E-97A2-4661-8BD1-ECF5B000D5FA}"};

    void AddRef() override;
    void Release() override;
    std::int32_t QueryInterface(basekit::utility::Guid const& id, OrbUnknown** out) override;
    std::int32_t QueryInterfaceNoRef(basekit::utility::Guid const& id, OrbUnknown** out) override;
    InterfaceRef<VireoServerManager, IVireoServerManager> GetServerManagerRef() override;

    static InterfaceRef<VireoUniqueServerManager> Make();

  private:
    VireoUniqueServerManager() = default;
    ~VireoUniqueServerManager() override = default;
    std::atomic<std::uint32_t> mRefCount{0};
};

}  // namespace VireoClient
