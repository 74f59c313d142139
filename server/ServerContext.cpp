#include "ServerContext.h"

#include <exception>

#include "Log.h"

namespace vireoserver {

ServerContext::ServerContext(hostlink::server::LaunchOptions options)
    : mOptions(std::move(options)) {}

ServerContext::~ServerContext() {
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
            Log("session-start listener failed");
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
        } catch (std::exception const& e) {
            Log("session-end callback failed: %s", e.what());
        } catch (...) {
            Log("session-end callback failed");
        }
    }
    for (auto& listener : listeners) {
        try {
            listener(session);
        } catch (...) {
            Log("session-end listener failed");
        }
    }
    return true;
}

std::size_t ServerContext::OpenSessionCount() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mOpenSessions.size();
}

}  // namespace vireoserver
