#include "WorkerPool.h"

#include <algorithm>
#include <boost/make_shared.hpp>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "Log.h"

namespace vireoserver {

namespace {

void RunGuarded(boost::function<void()> const& task) {
    try {
        task();
    } catch (std::exception const& e) {
        Log("worker task failed: %s", e.what());
    } catch (...) {
        Log("worker task failed");
    }
}

}  // namespace

struct WorkerPool::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<boost::function<void()>> tasks;
    std::vector<std::thread> threads;
    bool stopping = false;

    void Work() {
        for (;;) {
            boost::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(mutex);
                wake.wait(lock, [this] { return stopping || !tasks.empty(); });
                if (stopping) {
                    return;
                }
                task = std::move(tasks.front());
                tasks.pop_front();
            }
            RunGuarded(task);
        }
    }

    void Post(boost::function<void()> task) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) {
                return;
            }
            tasks.push_back(std::move(task));
        }
        wake.notify_one();
    }
};

struct SerialQueue::State {
    boost::shared_ptr<WorkerPool::State> pool;
    std::mutex mutex;
    std::deque<boost::function<void()>> tasks;
    bool scheduled = false;

    void Drain() {
        for (;;) {
            boost::function<void()> task;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (tasks.empty()) {
                    scheduled = false;
                    return;
                }
                task = std::move(tasks.front());
                tasks.pop_front();
            }
            RunGuarded(task);
        }
    }
};

WorkerPool::WorkerPool(unsigned threads) : mState(boost::make_shared<State>()) {
    if (threads == 0) {
        threads = std::max(2u, std::thread::hardware_concurrency());
    }
    for (unsigned i = 0; i < threads; ++i) {
        mState->threads.emplace_back([state = mState.get()] { state->Work(); });
    }
}

WorkerPool::~WorkerPool() {
    Stop();
}

void WorkerPool::Post(boost::function<void()> task) {
    mState->Post(std::move(task));
}

boost::shared_ptr<SerialQueue> WorkerPool::MakeQueue() {
    auto state = boost::make_shared<SerialQueue::State>();
    state->pool = mState;
    return boost::make_shared<SerialQueue>(state);
}

void WorkerPool::Stop() {
    std::vector<std::thread> threads;
    std::deque<boost::function<void()>> dropped;  // destroyed outside the lock
    {
        std::lock_guard<std::mutex> lock(mState->mutex);
        mState->stopping = true;
        dropped.swap(mState->tasks);
        threads.swap(mState->threads);
    }
    mState->wake.notify_all();
    for (auto& thread : threads) {
        if (thread.get_id() != std::this_thread::get_id()) {
            thread.join();
        } else {
            thread.detach();  // Stop() called from a task: that thread ends when it returns
        }
    }
}

SerialQueue::SerialQueue(boost::shared_ptr<State> state) : mState(std::move(state)) {}

void SerialQueue::Post(boost::function<void()> task) {
    bool schedule = false;
    {
        std::lock_guard<std::mutex> lock(mState->mutex);
        mState->tasks.push_back(std::move(task));
        if (!mState->scheduled) {
            mState->scheduled = true;
            schedule = true;
        }
    }
    if (schedule) {
        auto state = mState;
        mState->pool->Post([state] { state->Drain(); });
    }
}

}  // namespace vireoserver
