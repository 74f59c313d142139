#include "Registry.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "WorkerCore.h"
#include "basekit/debug/Failure.h"

namespace basetransport {

namespace {

struct ExtensionRegistry {
    std::mutex mutex;
    std::vector<std::pair<std::string, ExtensionHandler>> extensions;
    std::map<SessionEndObserverID, boost::function<void(SessionPtr const&)>> observers;
    SessionEndObserverID nextObserver = 1;
    // Quick test on the hot path: most messages are answers that no extension wants.
    std::atomic<bool> hasExtensions{false};
};

// Never destroyed: sessions may end while the process exits.
ExtensionRegistry& Registry() {
    static ExtensionRegistry* const sRegistry = new ExtensionRegistry();
    return *sRegistry;
}

thread_local SessionPtr tLastSessionSent;

}  // namespace

void RegisterExtension(std::string const& methodPrefix, ExtensionHandler handler) {
    auto& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (auto& entry : registry.extensions) {
        if (entry.first == methodPrefix) {
            entry.second = std::move(handler);
            return;
        }
    }
    registry.extensions.emplace_back(methodPrefix, std::move(handler));
    registry.hasExtensions.store(true);
}

void UnregisterExtension(std::string const& methodPrefix) {
    auto& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (auto it = registry.extensions.begin(); it != registry.extensions.end(); ++it) {
        if (it->first == methodPrefix) {
            registry.extensions.erase(it);
            break;
        }
    }
    registry.hasExtensions.store(!registry.extensions.empty());
}

SessionEndObserverID AddSessionEndObserver(boost::function<void(SessionPtr const&)> observer) {
    auto& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    SessionEndObserverID const id = registry.nextObserver++;
    registry.observers.emplace(id, std::move(observer));
    return id;
}

void RemoveSessionEndObserver(SessionEndObserverID id) {
    auto& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.observers.erase(id);
}

SessionPtr TakeLastSessionSentOnThisThread() {
    SessionPtr session;
    session.swap(tLastSessionSent);
    return session;
}

void PostToProcessWorkers(boost::function<void()> task) {
    detail::WorkerCore::Fallback().Post(std::move(task));
}

void Session::Post(boost::function<void()> task) {
    PostToProcessWorkers(std::move(task));
}

void Session::Lead(AwaitedAnswer&) {}

bool Session::Claim() {
    return false;
}

void Session::Unclaim() {}

void Session::WakeLeader() {}

std::string Session::GetCloseReason() const {
    return std::string();
}

namespace detail {

ExtensionHandler FindExtension(boost::json::object const& message) {
    auto& registry = Registry();
    if (!registry.hasExtensions.load(std::memory_order_relaxed)) {
        return ExtensionHandler();
    }
    auto const it = message.find("method");
    if (it == message.end() || !it->value().is_string()) {
        return ExtensionHandler();
    }
    auto const method = it->value().get_string();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (auto const& entry : registry.extensions) {
        if (method.size() >= entry.first.size() &&
            method.subview(0, entry.first.size()) == entry.first) {
            return entry.second;
        }
    }
    return ExtensionHandler();
}

void RunSessionEndObservers(SessionPtr const& session) {
    std::vector<boost::function<void(SessionPtr const&)>> observers;
    {
        auto& registry = Registry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        for (auto const& entry : registry.observers) {
            observers.push_back(entry.second);
        }
    }
    for (auto const& observer : observers) {
        try {
            observer(session);
        } catch (...) {
            // An observer's failure does not stop the others.
            BASEKIT_REPORT_CAUGHT("running a session end observer");
        }
    }
}

void SetLastSessionSentOnThisThread(SessionPtr const& session) {
    tLastSessionSent = session;
}

std::int64_t NextSessionID() {
    static std::atomic<std::int64_t> sNext{1};
    return sNext.fetch_add(1);
}

}  // namespace detail
}  // namespace basetransport
