#pragma once
// The lock that serialises starting and retiring the server of one name across processes: an
// flock on "<entry>.lock". The holder deletes the lock file before letting go, so lock files do
// not pile up; a waiter that locked a file that was deleted meanwhile starts over on the new one.
#include <string>

namespace hostlink {
namespace detail {

class NameLock {
  public:
    NameLock() = default;
    ~NameLock() { Release(); }
    NameLock(NameLock const&) = delete;
    NameLock& operator=(NameLock const&) = delete;

    // Waits up to timeoutMs for the lock (polling: another process holds it only for a bounded
    // time, and a stopped holder must not block us for ever). False on time-out or error.
    bool Acquire(std::string const& lockPath, int timeoutMs);
    bool IsHeld() const { return mFd >= 0; }
    // Deletes the lock file and unlocks; does nothing when not held.
    void Release();

  private:
    std::string mPath;
    int mFd = -1;
};

}  // namespace detail
}  // namespace hostlink
