#include "Dispatcher.h"

namespace crossprocess {
namespace detail {

Dispatcher& Dispatcher::Instance() {
    // Never destroyed, and its thread is detached: tasks may still be posted while the process
    // exits, and an exiting process must not wait for a handler.
    static Dispatcher* dispatcher = new Dispatcher;
    return *dispatcher;
}

void Dispatcher::Post(std::function<void()> task, std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mStarted) {
        mStarted = true;
        std::thread([this] { Run(); }).detach();
    }
    mTasks.push(Task{std::chrono::steady_clock::now() + delay, mOrder++, std::move(task)});
    mWake.notify_one();
}

void Dispatcher::Run() {
    std::unique_lock<std::mutex> lock(mMutex);
    for (;;) {
        if (mTasks.empty()) {
            mWake.wait(lock);
            continue;
        }
        auto const due = mTasks.top().due;
        if (std::chrono::steady_clock::now() < due) {
            mWake.wait_until(lock, due);
            continue;
        }
        std::function<void()> run = std::move(const_cast<Task&>(mTasks.top()).run);
        mTasks.pop();
        lock.unlock();
        try {
            run();
        } catch (...) {
            // A task's failure is its own; the thread goes on with the next one.
        }
        run = nullptr;  // destroy what the task held before taking the lock again
        lock.lock();
    }
}

}  // namespace detail
}  // namespace crossprocess
