#pragma once
// The worker threads of one transport: an io_context run by an elastic set of threads.
//
// They run the accepting and the server handshakes (asynchronous operations and timers on the
// io_context) and posted tasks: session runners (which read their session and run its handlers),
// writers, end-of-session handlers and tasks given to Session::Post. Such tasks may block for
// long, so while a thread runs one it counts as busy, and the core keeps at least one thread
// that is not: when the last free thread becomes busy a new one starts (up to kMaxThreads). A
// blocked handler therefore never stops accepting, timers or other tasks. Threads that stayed
// idle for kIdleTimeout leave, down to kMinThreads.
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

namespace basetransport {
namespace detail {

class WorkerCore : public boost::enable_shared_from_this<WorkerCore> {
  public:
    static constexpr int kMinThreads = 2;
    static constexpr int kMaxThreads = 256;
    static constexpr std::chrono::seconds kIdleTimeout{30};

    static boost::shared_ptr<WorkerCore> Create();
    // The process-wide core that runs tasks of sessions whose transport has stopped, and of
    // sessions without a transport. Never stopped.
    static WorkerCore& Fallback();

    WorkerCore(WorkerCore const&) = delete;
    WorkerCore& operator=(WorkerCore const&) = delete;
    ~WorkerCore();

    boost::asio::io_context& Io() { return mIo; }

    // Runs `task` on a worker thread as handler code (counted busy, exceptions swallowed). Once
    // this core is stopping, the task goes to the fallback core instead, so it always runs.
    void Post(boost::function<void()> task);
    template <class Task>
    void PostTask(Task&& task);

    // Stops the threads: no new work is accepted, and the call waits up to `grace` for the
    // threads to finish their work and leave. Threads still blocked after that are abandoned
    // (they keep the core alive until they leave).
    void Stop(std::chrono::milliseconds grace);
    // True on a thread of this core.
    bool IsWorkerThread() const;

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
    WorkerCore();
    void StartThreads();
    void EnterBusy();
    void LeaveBusy();
    // Starts one thread; mMutex must be held.
    void SpawnLocked();
    static void ThreadMain(boost::shared_ptr<WorkerCore> core);

    boost::asio::io_context mIo;
    mutable std::mutex mMutex;
    std::condition_variable mThreadLeft;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> mWork;
    bool mStopping = false;
    std::atomic<int> mThreads{0};  // threads running the loop; changed under mMutex
    std::atomic<int> mBusy{0};     // threads inside handler code
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
                        // Handler code never takes a worker thread down.
                    }
                });
            return;
        }
    }
    Fallback().PostTask(std::forward<Task>(task));
}

}  // namespace detail
}  // namespace basetransport
