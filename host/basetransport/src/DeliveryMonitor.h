#pragma once
// Watches the handlers that sessions are running and tells a session when its handler has run
// for longer than its grace, so that the session can hand its reading and delivery to another
// thread. Sessions never wake another thread per message for this: the monitor looks every
// kTick while handlers are being started, and sleeps (woken by the next handler start) once
// nothing has happened for kIdleTicks.
#include <atomic>
#include <boost/weak_ptr.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

namespace basetransport {
namespace detail {

class MonitoredSession {
  public:
    virtual ~MonitoredSession() = default;
    // Called on the monitor thread. Moves delivery on when the running handler has exceeded
    // the grace; true while a handler is running.
    virtual bool CheckBlocked(std::chrono::steady_clock::time_point now) = 0;
};

class DeliveryMonitor {
  public:
    static constexpr std::chrono::microseconds kTick{1000};
    static constexpr int kIdleTicks = 50;

    static DeliveryMonitor& Instance();

    void Add(std::int64_t id, boost::weak_ptr<MonitoredSession> session);
    void Remove(std::int64_t id);
    // Cheap; called by a session each time it starts a handler.
    void NoteHandlerStart();

  private:
    DeliveryMonitor() = default;
    void Main();

    std::mutex mMutex;
    std::condition_variable mWake;
    std::map<std::int64_t, boost::weak_ptr<MonitoredSession>> mSessions;
    bool mStarted = false;
    bool mWakeRequested = false;
    std::atomic<std::uint64_t> mStarts{0};
    std::atomic<bool> mAsleep{false};
};

}  // namespace detail
}  // namespace basetransport
