#pragma once
// What a group of RPC methods gets to work with: the dispatch table, session-end callbacks, the
// worker pools and the server's settings. One per server process, made by ServerApp.
#include <atomic>
#include <boost/function.hpp>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "WorkerPool.h"
#include "basemarshal/RPCServer.h"
#include "basetransport/Session.h"
#include "hostlink/ServerSide.h"

namespace vireo::server {

class ServerContext {
  public:
    explicit ServerContext(hostlink::server::LaunchOptions options);
    ~ServerContext();
    ServerContext(ServerContext const&) = delete;
    ServerContext& operator=(ServerContext const&) = delete;

    // The dispatch table every session of this server is attached to.
    basemarshal::RPCServer& Rpc() { return mRpc; }
    // Worker threads (and strands on them) for the work of requests: decoding, converting.
    WorkerPool& Workers() { return mWorkers; }
    // Worker threads for opening files, apart from Workers(): an open that waits on a slow
    // file never holds up the decoding of open movies.
    WorkerPool& Openers() { return mOpeners; }
    // Stops both pools: tasks not started never run; running ones are waited for.
    void StopWorkers();
    hostlink::server::LaunchOptions const& Options() const { return mOptions; }

    // Runs callback once when `session` ends (a client that vanishes too), on a transport
    // thread; at once on the calling thread when the session has already ended. Use it to
    // release what the session owned (its open movies, for example).
    void AtSessionEnd(basetransport::SessionPtr const& session, boost::function<void()> callback);
    // Runs listener for every session that starts, on a transport thread, before any of its
    // messages is handled. Register before the server starts listening.
    void AddSessionStartListener(boost::function<void(basetransport::SessionPtr const&)> listener);
    // Runs listener for every session that ends, on a transport thread, after the session's own
    // AtSessionEnd callbacks. Register before the server starts listening.
    void AddSessionEndListener(boost::function<void(basetransport::SessionPtr const&)> listener);

    // True when the media libraries (FFmpeg) initialised; set by main before listening.
    bool MediaLibrariesPresent() const { return mMediaLibrariesPresent.load(); }
    void SetMediaLibrariesPresent(bool present) { mMediaLibrariesPresent.store(present); }

    // The flush interval last given by a client ("SetQTFlushIterval"); 0 until one is given.
    std::int32_t FlushInterval() const { return mFlushInterval.load(); }
    void SetFlushInterval(std::int32_t interval) { mFlushInterval.store(interval); }

    // Called by ServerApp (transport threads).
    void SessionStarted(basetransport::SessionPtr const& session);
    // Idempotent: the first call for a session runs its callbacks and the listeners.
    // Returns false when the session had already been reported.
    bool SessionEnded(basetransport::SessionPtr const& session);
    std::size_t OpenSessionCount() const;

  private:
    hostlink::server::LaunchOptions const mOptions;
    // The pools come before the dispatch table, so that they are destroyed after it: handlers
    // hold strands of the pools, and a strand must not outlive its pool.
    WorkerPool mWorkers;
    WorkerPool mOpeners;
    basemarshal::RPCServer mRpc;

    mutable std::mutex mMutex;  // guards the three members below
    std::map<std::int64_t, std::vector<boost::function<void()>>> mOpenSessions;
    std::vector<boost::function<void(basetransport::SessionPtr const&)>> mStartListeners;
    std::vector<boost::function<void(basetransport::SessionPtr const&)>> mListeners;

    std::atomic<bool> mMediaLibrariesPresent{false};
    std::atomic<std::int32_t> mFlushInterval{0};
};

}  // namespace vireo::server
