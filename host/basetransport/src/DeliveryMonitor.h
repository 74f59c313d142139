#pragma once
// Watches what runs handler code: sessions (whose current handler may have blocked) and worker
// cores (whose every thread may be inside handlers), and moves each on when something has run
// past its grace: a session hands its reading and delivery to another runner, a core makes one
// more thread run its loop.
//
// The monitor is a timer armed only while handler code runs. The first handler start after a
// quiet spell arms it (one wake of the monitor's thread); while it is armed, handler starts cost
// an atomic increment and nothing else. When it fires, each watched object says whether it still
// runs handler code and when it should next be looked at (its handler's start plus its grace);
// the monitor sleeps until the earliest of those. When nothing runs it disarms, unless handlers
// came faster than one a grace period since its last look: then it stays armed for another
// period, since arming it again for each of them would wake its thread each time. So an idle
// process costs no wake-ups at all (after one period at most), and a busy one at most one per
// grace period, however many messages it handles.
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
#include <optional>

namespace basetransport {
namespace detail {

class Monitored {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~Monitored() = default;
    // Called on the monitor's thread: moves on what has run past its grace. While handler code
    // of this object runs, returns when it should be looked at again; nothing once none runs.
    virtual std::optional<TimePoint> CheckProgress(TimePoint now) = 0;
};

class DeliveryMonitor {
  public:
    static DeliveryMonitor& Instance();

    std::uint64_t Watch(boost::weak_ptr<Monitored> watched);
    void Unwatch(std::uint64_t id);
    // Called each time handler code starts (after the starter recorded its start time), with
    // the grace after which that handler counts as blocked; arms the monitor when it is not
    // armed.
    void NoteHandlerStart(std::chrono::microseconds grace);

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
    std::atomic<bool> mArmed{false};
    // The shortest grace noted so far: an armed monitor looks at least this often, so a handler
    // that started after a look is seen by the end of its grace.
    std::atomic<std::int64_t> mShortestGrace{1000000};
};

}  // namespace detail
}  // namespace basetransport
