#pragma once
// The server manager: finds or starts the server process, connects an RPC client to it, watches
// the session and shuts it down when its last user leaves.
#include <boost/shared_ptr.hpp>
#include <chrono>
#include <cstdint>
#include <deque>

#include <array>

#include "Orb/InterfaceRef.h"
#include "Orb/ObjectModel.h"
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
    //
    // Restart on demand: when the debug setting "VireoServerManager.RestartOnDemand" is "true",
    // the manager is in use and its server has gone (the session ended after a connection was
    // made), this finds or starts a server again first and makes a new RPC client, at most
    // three times a minute and never on a thread that runs handlers. Otherwise nothing
    // reconnects on its own: the old RPC client is handed out until the next InitializeClient.
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
    // Finds or starts the server and connects to it; 0 or kServerStartFailed. Under mMutex.
    std::int32_t Connect(bool unique);
    // Connects again when restarting on demand is allowed and needed; true when it did.
    bool RestartOnDemand();

    basekit::threads::RecursiveMutex mMutex;
    std::uint32_t mInitCount = 0;
    boost::shared_ptr<basemarshal::RPCClient> mRPCClient;
    boost::shared_ptr<basetransport::SocketTransport> mTransport;
    basetransport::SessionPtr mSession;
    basetransport::SessionHandlerID mSessionHandlerID;
    bool mCrossProcessInitialized = false;
    bool mUnique = false;  // the kind of server the last InitializeClient asked for
    std::deque<std::chrono::steady_clock::time_point> mRestarts;  // restarts on demand
};

// The shared server manager: one per process while it has references.
class VireoSingletonServerManager final
    : public Orb::SharedImplementation<VireoSingletonServerManager, VireoServerManager> {
  public:
    static constexpr basekit::utility::Guid kIID{"{38AC7E05-7296-4B38-AE3D-775B25410B20}"};
    static constexpr std::array<basekit::utility::Guid, 4> kInterfaceIds{
        kIID, IVireoServerManager::kIID, VireoServerManager::kIID, OrbUnknown::kIID};

    InterfaceRef<VireoServerManager, IVireoServerManager> GetServerManagerRef() override;

    VireoSingletonServerManager() = default;
    ~VireoSingletonServerManager() override = default;
};

// A private server manager: serves one private client with a server process of its own.
class VireoUniqueServerManager final
    : public Orb::PrivateImplementation<VireoUniqueServerManager, VireoServerManager> {
  public:
    static constexpr basekit::utility::Guid kIID{"{38D3749E-97A2-4661-8BD1-ECF5B000D5FA}"};
    static constexpr std::array<basekit::utility::Guid, 4> kInterfaceIds{
        kIID, IVireoServerManager::kIID, VireoServerManager::kIID, OrbUnknown::kIID};

    InterfaceRef<VireoServerManager, IVireoServerManager> GetServerManagerRef() override;

  private:
    friend class Orb::PrivateImplementation<VireoUniqueServerManager, VireoServerManager>;
    VireoUniqueServerManager() = default;
    ~VireoUniqueServerManager() override = default;
};

}  // namespace VireoClient
