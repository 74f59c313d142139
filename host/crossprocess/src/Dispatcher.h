#pragma once
// The crossprocess thread: runs deliveries that must not happen on the calling thread, sends
// that must not happen under a lock, and timed housekeeping. One Boost.Asio io_context, run by
// one joinable thread from the first use of the library until the process exits or the library
// is unloaded (Stop).
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

namespace crossprocess {
namespace detail {

class Dispatcher {
  public:
    static Dispatcher& Instance();
    // Stop on the dispatcher, if it was ever made (never makes one).
    static void StopIfStarted();

    // Runs `task` on the crossprocess thread after `delay` (a steady_timer; at once when 0).
    // Tasks run one at a time; tasks posted without a delay run in order of posting. Never
    // blocks; may be called under any lock. After Stop, tasks are dropped unrun. An exception
    // escaping a task is reported (BASEKIT_REPORT_CAUGHT) and the thread goes on.
    void Post(std::function<void()> task,
              std::chrono::milliseconds delay = std::chrono::milliseconds(0));

    // Ends the thread: the task running now finishes, every other one is dropped, and the
    // thread is joined (unless Stop runs on that thread itself, which then just returns).
    // Idempotent. Runs when the process exits or the library is unloaded.
    void Stop();

  private:
    Dispatcher();
    ~Dispatcher() = delete;  // never destroyed: tasks may be posted while the process exits
    void Run();
    static void RunTask(std::function<void()> const& task);

    boost::asio::io_context mContext;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> mWork;
    std::mutex mMutex;  // guards mStopped and the thread's start and end
    bool mStopped = false;
    std::thread mThread;
};

}  // namespace detail
}  // namespace crossprocess
