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

std::uint64_t DeliveryMonitor::Watch(boost::weak_ptr<Monitored> watched) {
    std::lock_guard<std::mutex> lock(mMutex);
    std::uint64_t const id = mNextID++;
    mWatched.emplace(id, std::move(watched));
    if (!mStarted) {
        mStarted = true;
        // The watchdog described in the header: deliberately detached.
        std::thread([this] { Main(); }).detach();
    }
    return id;
}

void DeliveryMonitor::Unwatch(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(mMutex);
    mWatched.erase(id);
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
    std::vector<boost::weak_ptr<Monitored>> watched;
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
        watched.clear();
        for (auto it = mWatched.begin(); it != mWatched.end();) {
            if (it->second.expired()) {
                it = mWatched.erase(it);
            } else {
                watched.push_back(it->second);
                ++it;
            }
        }
        lock.unlock();
        bool running = false;
        auto const now = std::chrono::steady_clock::now();
        for (auto const& weak : watched) {
            if (auto item = weak.lock()) {
                running = item->CheckProgress(now) || running;
            }
        }
        watched.clear();
        lock.lock();
        std::uint64_t const starts = mStarts.load();
        idleTicks = running || starts != seenStarts ? 0 : idleTicks + 1;
        seenStarts = starts;
    }
}

}  // namespace detail
}  // namespace basetransport
