#pragma once
// The server process shell: listens on 127.0.0.1 with a fresh secret token, announces itself in
// the registry, attaches every accepted session to the one RPC dispatch table, and ends by the
// lifetime rules (Lifetime.h), withdrawing its registry entry on every orderly way out.
#include <boost/shared_ptr.hpp>
#include <memory>

#include "Lifetime.h"
#include "ServerContext.h"
#include "basetransport/SocketTransport.h"
#include "hostlink/ServerSide.h"

namespace vireo::server {

class ServerApp {
  public:
    // Make it before any other thread of the process (it blocks the termination signals, which
    // later threads inherit). The idle grace is options.idleMs, else VIREO_SERVER_IDLE_MS, else
    // 3000 ms.
    explicit ServerApp(hostlink::server::LaunchOptions const& options);
    ~ServerApp();
    ServerApp(ServerApp const&) = delete;
    ServerApp& operator=(ServerApp const&) = delete;

    // Register method groups here before Run().
    ServerContext& Context() { return *mContext; }

    // Serves until the lifetime rules end the server; returns the process's exit code.
    // announceDelayMs delays the announcement (test servers use it).
    int Run(int announceDelayMs = 0);

  private:
    void OnSession(basetransport::SessionPtr const& session);
    void OnSessionClosed(basetransport::SessionPtr const& session);

    hostlink::server::LaunchOptions const mOptions;
    Lifetime mLifetime;  // first: blocks signals before the context's threads exist
    std::unique_ptr<ServerContext> mContext;
    boost::shared_ptr<basetransport::SocketTransport> mTransport;
};

}  // namespace vireo::server
