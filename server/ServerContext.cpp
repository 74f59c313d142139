#include "ServerContext.h"

#include "basekit/debug/Failure.h"

namespace vireo::server {

namespace {
// Opening is mostly waiting for files; a few threads let several opens wait at once.
constexpr unsigned kOpenThreads = 4;
}  // namespace

ServerContext::ServerContext(hostlink::server::LaunchOptions options)
    : mOptions(std::move(options)), mOpeners(kOpenThreads) {}

ServerContext::~ServerContext() {
    StopWorkers();
}

void ServerContext::StopWorkers() {
    mOpeners.Stop();
    mWorkers.Stop();
}

void ServerContext::AtSessionEnd(basetransport::SessionPtr const& session,
                                 boost::function<void()> callback) {
    if (!session || !callback) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mMutex);
        auto open = mOpenSessions.find(session->GetID());
        if (open != mOpenSessions.end()) {
            open->second.push_back(std::move(callback));
            return;
        }
    }
    callback();
}

void ServerContext::AddSessionEndListener(
    boost::function<void(basetransport::SessionPtr const&)> listener) {
    std::lock_guard<std::mutex> lock(mMutex);
    mListeners.push_back(std::move(listener));
}

void ServerContext::AddSessionStartListener(
    boost::function<void(basetransport::SessionPtr const&)> listener) {
    std::lock_guard<std::mutex> lock(mMutex);
    mStartListeners.push_back(std::move(listener));
}

void ServerContext::SessionStarted(basetransport::SessionPtr const& session) {
    std::vector<boost::function<void(basetransport::SessionPtr const&)>> listeners;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mOpenSessions.emplace(session->GetID(), std::vector<boost::function<void()>>());
        listeners = mStartListeners;
    }
    for (auto& listener : listeners) {
        try {
            listener(session);
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("running a session-start listener");
        }
    }
}

bool ServerContext::SessionEnded(basetransport::SessionPtr const& session) {
    std::vector<boost::function<void()>> callbacks;
    std::vector<boost::function<void(basetransport::SessionPtr const&)>> listeners;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        auto open = mOpenSessions.find(session->GetID());
        if (open == mOpenSessions.end()) {
            return false;
        }
        callbacks.swap(open->second);
        mOpenSessions.erase(open);
        listeners = mListeners;
    }
    // Callbacks run without the lock: they may register more callbacks or post work.
    for (auto& callback : callbacks) {
        try {
            callback();
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("running a session-end callback");
        }
    }
    for (auto& listener : listeners) {
        try {
            listener(session);
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("running a session-end listener");
        }
    }
    return true;
}

std::size_t ServerContext::OpenSessionCount() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mOpenSessions.size();
}

}  // namespace vireo::server
