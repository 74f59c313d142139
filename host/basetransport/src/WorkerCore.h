#pragma once
// The worker threads of one transport: an io_context run by an elastic set of threads.
//
// The io_context carries every socket of the transport (asynchronous accepting, handshakes,
// reading and queued writing) and its timers, and posted tasks: session runners, end-of-session
// handlers and tasks given to Session::Post. Handler code runs on these threads, inline in the
// completion that read its message, with no hand-off to another thread.
//
// One thread runs the loop while nothing blocks, so that an event never wakes a second thread
// (on a busy machine that wake costs more than the rest of a round trip). Handler code may block,
// so a thread running it counts as busy; when every thread that runs the loop has been busy for
// longer than the stall grace, the delivery monitor asks the core for one more (a spare thread,
// or a new one up to kMaxThreads), so a blocked handler never stops accepting, timers or other
// sessions for longer than that. A thread whose handler returns while another thread is free
// leaves the loop and waits as a spare; spares idle for kIdleTimeout end, down to kMinThreads
// threads in all.
//
// Threads are joined: one that ends (idle, or stopped) by a spare woken for it, by the loop's next
// turn, by Stop, or by the core's destructor, which runs on the last thread to let go of the core
// when Stop had to abandon a blocked handler (that thread detaches its own handle as it ends,
// having nothing left to do).
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "DeliveryMonitor.h"
#include "basekit/debug/Failure.h"

namespace basetransport {
namespace detail {

class WorkerCore : public Monitored, public boost::enable_shared_from_this<WorkerCore> {
  public:
    static constexpr int kMinThreads = 2;  // one running the loop, one spare
    static constexpr int kMaxThreads = 256;
    static constexpr std::chrono::seconds kIdleTimeout{30};
    static constexpr std::chrono::microseconds kDefaultStallGrace{2000};

    static boost::shared_ptr<WorkerCore> Create();
    // The process-wide core that runs tasks of sessions whose transport has stopped, and of
    // sessions without a transport. Never stopped: its threads run for the life of the process.
    static WorkerCore& Fallback();

    WorkerCore(WorkerCore const&) = delete;
    WorkerCore& operator=(WorkerCore const&) = delete;
    ~WorkerCore() override;

    boost::asio::io_context& Io() { return mIo; }

    // Runs `task` on a worker thread as handler code (counted busy; an exception escaping it is
    // reported). Once this core is stopping, the task goes to the fallback core instead, so it
    // always runs.
    void Post(boost::function<void()> task);
    template <class Task>
    void PostTask(Task&& task);

    // Stops the threads: no new work is accepted, and the call waits up to `grace` for the
    // threads to finish their work and leave. Threads still blocked after that are abandoned
    // (they keep the core alive until they leave).
    void Stop(std::chrono::milliseconds grace);
    // True on a thread of this core.
    bool IsWorkerThread() const;
    void SetStallGrace(std::chrono::microseconds grace);
    // Threads of this core, running the loop or spare.
    int ThreadCount() const;

    std::optional<TimePoint> CheckProgress(TimePoint now) override;

    // Marks the calling thread as running handler code for its lifetime.
    class BusyScope {
      public:
        explicit BusyScope(WorkerCore& core) : mCore(core) { mCore.EnterBusy(); }
        ~BusyScope() { mCore.LeaveBusy(); }
        BusyScope(BusyScope const&) = delete;
        BusyScope& operator=(BusyScope const&) = delete;

      private:
        WorkerCore& mCore;
    };

  private:
    using Clock = std::chrono::steady_clock;
    struct Worker {
        std::thread thread;
        bool finished = false;
    };

    WorkerCore();
    void Start();
    void EnterBusy();
    void LeaveBusy();
    // Makes one more thread run the loop; mMutex held.
    void AddRunnerLocked();
    // Starts a thread that runs the loop (counted in mRunning by the caller) or waits as a
    // spare; mMutex held.
    void SpawnLocked(bool running);
    // Joins the threads that have finished (they need mMutex no more); mMutex held.
    void JoinFinishedLocked();
    void Loop(bool running);
    // Waits as a spare until called to the loop (true) or until the thread is to end.
    bool WaitAsSpare(std::unique_lock<std::mutex>& lock);
    static void ThreadMain(boost::shared_ptr<WorkerCore> core, std::list<Worker>::iterator self,
                           bool running);

    boost::asio::io_context mIo;
    mutable std::mutex mMutex;
    std::condition_variable mSpareWake;
    std::condition_variable mThreadLeft;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> mWork;
    std::list<Worker> mWorkers;
    bool mStopping = false;
    int mThreads = 0;   // live threads
    int mRunning = 0;   // threads running the loop, or called to it from the spares
    int mCalled = 0;    // calls to spares not taken yet
    int mBusy = 0;      // threads inside handler code
    int mUnjoined = 0;  // threads that have ended and wait to be joined
    Clock::time_point mAllBusySince;
    std::chrono::microseconds mStallGrace = kDefaultStallGrace;
    std::uint64_t mMonitorID = 0;
};

template <class Task>
void WorkerCore::PostTask(Task&& task) {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (!mStopping) {
            boost::asio::post(
                mIo, [core = shared_from_this(), task = std::forward<Task>(task)]() mutable {
                    BusyScope busy(*core);
                    try {
                        task();
                    } catch (...) {
                        BASEKIT_REPORT_CAUGHT("running a task on a transport thread");
                    }
                });
            return;
        }
    }
    Fallback().PostTask(std::forward<Task>(task));
}

}  // namespace detail
}  // namespace basetransport
