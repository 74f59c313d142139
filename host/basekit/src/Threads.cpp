#include <chrono>
#include <thread>

#include "basekit/threads/Gate.h"
#include "basekit/threads/SyncPoint.h"

namespace basekit {
namespace threads {

SyncPoint::SyncPoint(unsigned parties) : mParties(parties == 0 ? 1 : parties) {}

SyncPoint::~SyncPoint() {
    {
        std::unique_lock<std::mutex> lock(mMutex);
        mLeft.wait(lock, [this] { return mInside == 0; });
    }
    // The last party to arrive wakes the others after unlocking; wait until it has done so.
    while (mNotifying.load(std::memory_order_acquire) != 0) {
        std::this_thread::yield();
    }
}

bool SyncPoint::Wait() { return Wait(-1); }

bool SyncPoint::Wait(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mMutex);
    std::uint64_t const generation = mGeneration;
    if (++mWaiting == mParties) {
        mWaiting = 0;
        ++mGeneration;
        // Wake the others after unlocking, so a woken party does not at once block again on
        // the mutex this thread still holds.
        mNotifying.fetch_add(1, std::memory_order_relaxed);
        lock.unlock();
        mArrived.notify_all();
        mNotifying.fetch_sub(1, std::memory_order_release);
        return true;
    }
    ++mInside;
    auto met = [&] { return mGeneration != generation; };
    bool ok = true;
    if (timeoutMs < 0) {
        mArrived.wait(lock, met);
    } else if (!mArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), met)) {
        --mWaiting;
        ok = false;
    }
    if (--mInside == 0) {
        mLeft.notify_all();
    }
    return ok;
}

Gate::Gate(bool open) : mOpen(open) {}

Gate::~Gate() {
    std::unique_lock<std::mutex> lock(mMutex);
    mLeft.wait(lock, [this] { return mInside == 0; });
}

void Gate::Open() {
    std::lock_guard<std::mutex> lock(mMutex);
    mOpen = true;
    mOpened.notify_all();
}

void Gate::Close() {
    std::lock_guard<std::mutex> lock(mMutex);
    mOpen = false;
}

bool Gate::IsOpen() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mOpen;
}

bool Gate::PassThrough(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mMutex);
    if (mOpen) {
        return true;
    }
    if (timeoutMs == 0) {
        return false;
    }
    ++mInside;
    auto open = [this] { return mOpen; };
    bool passed;
    if (timeoutMs < 0) {
        mOpened.wait(lock, open);
        passed = true;
    } else {
        passed = mOpened.wait_for(lock, std::chrono::milliseconds(timeoutMs), open);
    }
    if (--mInside == 0) {
        mLeft.notify_all();
    }
    return passed;
}

}  // namespace threads
}  // namespace basekit
