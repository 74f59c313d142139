#pragma once
// The hub's lock: a unique lock on Hub::mMutex that also counts, per thread, how many hub locks
// the thread holds (see HubLockHeld), so that destructors can tell they must not send.
#include <mutex>

#include "Hub.h"

namespace crossprocess {
namespace detail {

class Hub::Lock {
  public:
    explicit Lock(std::mutex& mutex);
    ~Lock();
    Lock(Lock const&) = delete;
    Lock& operator=(Lock const&) = delete;

    std::unique_lock<std::mutex>& Get() { return mLock; }

  private:
    std::unique_lock<std::mutex> mLock;
};

}  // namespace detail
}  // namespace crossprocess
