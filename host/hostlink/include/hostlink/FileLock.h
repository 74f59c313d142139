#pragma once
// An exclusive lock on a file across the processes of the user: an flock on the file, held
// through an open descriptor. The kernel drops a flock when its holder's process ends in any
// way, so a crashed holder frees the lock at once.
#include <string>

namespace hostlink {

class FileLock {
  public:
    enum class Outcome {
        kTaken,   // this object now holds the lock
        kBusy,    // another holder has it
        kFailed,  // the file could not be opened or locked; `error` is the errno value
    };
    // What Release() does with the file.
    enum class OnRelease {
        // Kept: every holder locks the same file, which may carry what the holder wrote in it.
        kKeep,
        // Deleted before unlocking, so that lock files do not pile up. A taker that locked a
        // file deleted meanwhile takes the new one at the path instead.
        kRemove,
    };

    FileLock() = default;
    ~FileLock();  // Release()
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(FileLock const&) = delete;
    FileLock& operator=(FileLock const&) = delete;

    // Takes the lock on `path` (created with mode 0600 when missing; a symbolic link is refused)
    // without waiting. A lock held before is released first.
    Outcome TryTake(std::string const& path, OnRelease onRelease, int& error);
    // Takes the lock, waiting up to timeoutMs for its holder (polling: a holder keeps it only
    // for a bounded time, and a stopped holder must not block us for ever). False on time-out
    // or error.
    bool Take(std::string const& path, OnRelease onRelease, int timeoutMs);

    bool IsHeld() const noexcept { return mFd >= 0; }
    // Replaces the held file's contents with `text`. False (errno set) on error or when not
    // held.
    bool Replace(std::string const& text);
    // Drops the lock (deleting the file first for OnRelease::kRemove). Nothing when not held.
    void Release() noexcept;

  private:
    std::string mPath;
    int mFd = -1;
    OnRelease mOnRelease = OnRelease::kKeep;
};

}  // namespace hostlink
