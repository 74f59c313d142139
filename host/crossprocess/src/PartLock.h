#pragma once
// The lock of one part of the library (notifications, publishing, reading): a unique lock that
// also counts, per thread, how many part locks the thread holds, so that destructors can tell
// they must not send (PartLockHeld).
//
// Lock rules: a thread holds at most one part lock at a time. No caller's handler, no send on a
// session and no wait runs under a part lock, except the bounded wait of Reader::Open, which
// waits on its part's own condition. Pool, lease, segment-name and dispatcher locks are leaves,
// taken under a part lock but never the other way round. Handlers, start actions and references
// are destroyed outside part locks (they may hold the last reference to a caller's object, or
// send a release when they die).
#include <mutex>

namespace crossprocess {
namespace detail {

// True while this thread holds a part lock.
bool PartLockHeld();

class PartLock {
  public:
    explicit PartLock(std::mutex& mutex);
    ~PartLock();
    PartLock(PartLock const&) = delete;
    PartLock& operator=(PartLock const&) = delete;

    std::unique_lock<std::mutex>& Get() { return mLock; }

  private:
    std::unique_lock<std::mutex> mLock;
};

}  // namespace detail
}  // namespace crossprocess
