#include "ServerApp.h"

#include <unistd.h>

#include <boost/bind/bind.hpp>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "Log.h"
#include "basekit/utility/Parse.h"

namespace vireo::server {

namespace {

constexpr char kListenHost[] = "127.0.0.1";
constexpr int kDefaultIdleMs = 3000;
constexpr int kFirstSessionMs = 30000;
// Taking the name's lock to retire waits no longer than this (then retries later).
constexpr int kRetireLockMs = 1000;
// An orderly shutdown that takes longer than this (a handler that does not return) is cut
// short: the server must not outlive its purpose.
constexpr int kShutdownLimitMs = 5000;

int EnvMs(char const* name, int fallback) {
    return static_cast<int>(basekit::utility::EnvironmentInteger(name, fallback, 0, 3600000));
}

LifetimeRules MakeRules(hostlink::server::LaunchOptions const& options) {
    LifetimeRules rules;
    rules.isPrivate = IsPrivateServerName(options.name);
    rules.idleMs = options.idleMs >= 0 && options.idleMs <= 3600000
                       ? static_cast<int>(options.idleMs)
                       : EnvMs("VIREO_SERVER_IDLE_MS", kDefaultIdleMs);
    rules.firstSessionMs = EnvMs("VIREO_SERVER_FIRST_SESSION_MS", kFirstSessionMs);
    rules.parentPid = options.parentPid;
    return rules;
}

}  // namespace

ServerApp::ServerApp(hostlink::server::LaunchOptions const& options)
    : mOptions(options),
      mLifetime(MakeRules(options)),
      mContext(new ServerContext(options)),
      mTransport(basetransport::SocketTransport::Create()) {}

ServerApp::~ServerApp() = default;

void ServerApp::OnSession(basetransport::SessionPtr const& session) {
    mContext->SessionStarted(session);
    mLifetime.SessionStarted();
    Log("session %lld started (client pid %lld)", static_cast<long long>(session->GetID()),
        static_cast<long long>(session->GetPeerProcessID()));
    session->AddCloseHandler(
        boost::bind(&ServerApp::OnSessionClosed, this, boost::placeholders::_1));
    mContext->Rpc().Attach(session);
    if (session->IsClosed()) {
        OnSessionClosed(session);
    }
}

void ServerApp::OnSessionClosed(basetransport::SessionPtr const& session) {
    if (mContext->SessionEnded(session)) {
        Log("session %lld ended", static_cast<long long>(session->GetID()));
        mLifetime.SessionEnded();
    }
}

int ServerApp::Run(int announceDelayMs) {
    std::string const token = hostlink::server::MakeToken();
    std::uint16_t const port = mTransport->Listen(
        0, token, boost::bind(&ServerApp::OnSession, this, boost::placeholders::_1));
    if (port == 0) {
        Log("cannot listen");
        return 1;
    }
    Log("listening on %s:%u as \"%s\"", kListenHost, port, mOptions.name.c_str());

    auto announce = [&] {
        bool ok = hostlink::server::Announce(mOptions, kListenHost, port, token);
        if (!ok) {
            Log("cannot announce in %s", mOptions.registry.c_str());
        }
        return ok;
    };
    auto retire = [&](std::function<bool()> const& stillIdle) {
        return hostlink::server::WithdrawIfIdle(mOptions, stillIdle, kRetireLockMs);
    };
    Lifetime::Reason reason = mLifetime.Run(announceDelayMs, announce, retire);
    Log("ending: %s", Lifetime::Describe(reason));

    hostlink::server::Withdraw(mOptions);
    // Shutdown watchdog, the server's one detached thread: a handler or task that does not
    // return must not keep the process alive. It ends with the process.
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(kShutdownLimitMs));
        ::_exit(0);
    }).detach();
    mTransport->Shutdown();
    mContext->StopWorkers();
    return 0;
}

}  // namespace vireo::server
