#include "DeliveryMonitor.h"

#include <pthread.h>

#include <thread>
#include <vector>

namespace basetransport {
namespace detail {

DeliveryMonitor& DeliveryMonitor::Instance() {
    // Never destroyed: its thread runs for the life of the process.
    static DeliveryMonitor* const sMonitor = new DeliveryMonitor();
    return *sMonitor;
}

void DeliveryMonitor::Add(std::int64_t id, boost::weak_ptr<MonitoredSession> session) {
    std::lock_guard<std::mutex> lock(mMutex);
    mSessions[id] = std::move(session);
    if (!mStarted) {
        mStarted = true;
        std::thread([this] { Main(); }).detach();
    }
}

void DeliveryMonitor::Remove(std::int64_t id) {
    std::lock_guard<std::mutex> lock(mMutex);
    mSessions.erase(id);
}

void DeliveryMonitor::NoteHandlerStart() {
    // Pairs with the check in Main: either the monitor sees this start before it sleeps, or
    // this sees it asleep and wakes it.
    mStarts.fetch_add(1);
    if (mAsleep.load()) {
        std::lock_guard<std::mutex> lock(mMutex);
        mWakeRequested = true;
        mWake.notify_one();
    }
}

void DeliveryMonitor::Main() {
    pthread_setname_np(pthread_self(), "vireo-monitor");
    std::unique_lock<std::mutex> lock(mMutex);
    int idleTicks = 0;
    std::uint64_t seenStarts = mStarts.load();
    std::vector<boost::weak_ptr<MonitoredSession>> sessions;
    for (;;) {
        if (idleTicks >= kIdleTicks) {
            mAsleep.store(true);
            if (mStarts.load() == seenStarts) {
                mWake.wait(lock, [this] { return mWakeRequested; });
            }
            mWakeRequested = false;
            mAsleep.store(false);
            idleTicks = 0;
        }
        mWake.wait_for(lock, kTick);
        mWakeRequested = false;
        sessions.clear();
        for (auto it = mSessions.begin(); it != mSessions.end();) {
            if (it->second.expired()) {
                it = mSessions.erase(it);
            } else {
                sessions.push_back(it->second);
                ++it;
            }
        }
        lock.unlock();
        bool running = false;
        auto const now = std::chrono::steady_clock::now();
        for (auto const& weak : sessions) {
            if (auto session = weak.lock()) {
                running = session->CheckBlocked(now) || running;
            }
        }
        sessions.clear();
        lock.lock();
        std::uint64_t const starts = mStarts.load();
        idleTicks = running || starts != seenStarts ? 0 : idleTicks + 1;
        seenStarts = starts;
    }
}

}  // namespace detail
}  // namespace basetransport
