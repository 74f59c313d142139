#pragma once
// The crossprocess thread: runs deliveries that must not happen on the calling thread, sends
// that must not happen under a lock, and timed housekeeping.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace crossprocess {
namespace detail {

class Dispatcher {
  public:
    static Dispatcher& Instance();

    // Runs `task` on the crossprocess thread, after `delay`. Tasks run one at a time, in order of
    // their due time (then of posting). Never blocks; may be called under any lock.
    void Post(std::function<void()> task,
              std::chrono::milliseconds delay = std::chrono::milliseconds(0));

  private:
    struct Task {
        std::chrono::steady_clock::time_point due;
        std::uint64_t order;
        std::function<void()> run;
        bool operator>(Task const& other) const {
            return due != other.due ? due > other.due : order > other.order;
        }
    };

    Dispatcher() = default;
    void Run();

    std::mutex mMutex;
    std::condition_variable mWake;
    std::priority_queue<Task, std::vector<Task>, std::greater<Task>> mTasks;
    std::uint64_t mOrder = 0;
    bool mStarted = false;
};

}  // namespace detail
}  // namespace crossprocess
