#pragma once
// Watches what runs handler code: sessions (whose current handler may have blocked) and worker
// cores (whose every thread may be inside handlers). Each is asked every kTick while handlers are
// being started, and moves itself on when something has run past its grace: a session hands its
// reading and delivery to another runner, a core makes one more thread run its loop. Nothing
// wakes a thread per message for this: the monitor sleeps once nothing has happened for
// kIdleTicks, and the next handler start wakes it.
//
// The monitor's thread is a watchdog: one per process, started with the first watched object
// and running until the process exits (it must outlive every transport, also those destroyed
// during exit), so it is never joined.
#include <atomic>
#include <boost/weak_ptr.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

namespace basetransport {
namespace detail {

class Monitored {
  public:
    virtual ~Monitored() = default;
    // Called on the monitor's thread: moves on what has run past its grace. True while handler
    // code is running (the monitor keeps looking).
    virtual bool CheckProgress(std::chrono::steady_clock::time_point now) = 0;
};

class DeliveryMonitor {
  public:
    static constexpr std::chrono::microseconds kTick{1000};
    static constexpr int kIdleTicks = 50;

    static DeliveryMonitor& Instance();

    std::uint64_t Watch(boost::weak_ptr<Monitored> watched);
    void Unwatch(std::uint64_t id);
    // Cheap; called each time handler code starts.
    void NoteHandlerStart();

  private:
    DeliveryMonitor() = default;
    void Main();

    std::mutex mMutex;
    std::condition_variable mWake;
    std::map<std::uint64_t, boost::weak_ptr<Monitored>> mWatched;
    std::uint64_t mNextID = 1;
    bool mStarted = false;
    bool mWakeRequested = false;
    std::atomic<std::uint64_t> mStarts{0};
    std::atomic<bool> mAsleep{false};
};

}  // namespace detail
}  // namespace basetransport
