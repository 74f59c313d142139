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

void DeliveryMonitor::NoteHandlerStart(std::chrono::microseconds grace) {
    std::int64_t shortest = mShortestGrace.load(std::memory_order_relaxed);
    while (grace.count() < shortest &&
           !mShortestGrace.compare_exchange_weak(shortest, grace.count())) {
    }
    // Pairs with the disarming in Main: either the monitor sees this start's count after it
    // disarmed (and looks again), or this sees it disarmed and arms it.
    mStarts.fetch_add(1);
    if (!mArmed.exchange(true)) {
        std::lock_guard<std::mutex> lock(mMutex);
        mWakeRequested = true;
        mWake.notify_one();
    }
}

void DeliveryMonitor::Main() {
    pthread_setname_np(pthread_self(), "vireo-monitor");
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(mMutex);
    std::vector<boost::weak_ptr<Monitored>> watched;
    std::optional<Clock::time_point> next;
    std::uint64_t startsAtLastLook = 0;
    for (;;) {
        if (next) {
            mWake.wait_until(lock, *next);
        } else {
            mWake.wait(lock, [this] { return mWakeRequested; });
        }
        mWakeRequested = false;
        std::uint64_t const starts = mStarts.load();
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
        next.reset();
        auto const now = Clock::now();
        for (auto const& weak : watched) {
            if (auto item = weak.lock()) {
                if (auto const when = item->CheckProgress(now)) {
                    next = next ? std::min(*next, *when) : *when;
                }
            }
        }
        watched.clear();
        lock.lock();
        auto const shortest = now + std::chrono::microseconds(mShortestGrace.load());
        // Handlers that come faster than one a grace period would arm the monitor again and
        // again, each time waking this thread: while they do, it stays armed and looks once a
        // period, which costs less. It disarms after a period with at most one start.
        bool const busy = starts - startsAtLastLook >= 2;
        startsAtLastLook = starts;
        if (!next && busy) {
            next = shortest;
        }
        if (!next) {
            mArmed.store(false);
            if (mStarts.load() == starts) {
                continue;  // disarmed: nothing runs, and nothing started while looking
            }
            // A handler started while looking and may have seen the monitor armed: stay armed.
            mArmed.store(true);
            next = shortest;
        }
        // A handler that starts from now on is due no earlier than the shortest grace.
        next = std::min(*next, shortest);
    }
}

}  // namespace detail
}  // namespace basetransport
