#pragma once
// A lock that its holder may take again. Also usable with std::lock_guard / std::unique_lock.
#include <mutex>

namespace basekit {
namespace threads {

class RecursiveMutex {
public:
    RecursiveMutex() = default;
    RecursiveMutex(RecursiveMutex const&) = delete;
    RecursiveMutex& operator=(RecursiveMutex const&) = delete;

    // The name is accepted for diagnostics and otherwise unused.
    void Lock(const char* name = nullptr) { mMutex.lock(); }
    void Unlock() { mMutex.unlock(); }
    bool TryLock() { return mMutex.try_lock(); }

    void lock() { mMutex.lock(); }
    void unlock() { mMutex.unlock(); }
    bool try_lock() { return mMutex.try_lock(); }

private:
    std::recursive_mutex mMutex;
};

using RecursiveLock = std::lock_guard<RecursiveMutex>;

}  // namespace threads
}  // namespace basekit
