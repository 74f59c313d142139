#pragma once
// One user of a component at a time, across every process of the user.
//
// A component's lock is the file "<key>.lock" in a per-user directory (mode 0700). Its holder
// has an exclusive flock on it and has written "pid <pid>\n<application name>" into it. The
// kernel drops a flock when the holder's process ends in any way, so a crashed holder frees the
// component at once; a later holder truncates what the crashed one left. Lock files are never
// removed (removing a locked file's name would let a second process lock a new file of the same
// name).
#include <string>

#include "hostlink/FileLock.h"

namespace vireo::server::vout {

class ComponentLock {
  public:
    enum class Outcome {
        kTaken,   // this object now holds the lock
        kHeld,    // another holder has it; `holder` is its application name (may be empty)
        kFailed,  // the directory or file could not be used; `error` is the errno value
    };

    ComponentLock() = default;
    ~ComponentLock();  // Release()
    ComponentLock(ComponentLock&& other) noexcept = default;
    ComponentLock& operator=(ComponentLock&& other) noexcept;
    ComponentLock(ComponentLock const&) = delete;
    ComponentLock& operator=(ComponentLock const&) = delete;

    // Takes the lock `key` (a file-name-safe text) in `directory` for `application`, without
    // waiting. The directory is created (0700) when missing and refused when it is not a
    // directory of ours closed to others.
    Outcome Take(std::string const& directory, std::string const& key,
                 std::string const& application, std::string& holder, int& error);

    // Empties the file and drops the lock. Nothing when not held.
    void Release() noexcept;
    bool IsHeld() const noexcept { return mLock.IsHeld(); }

  private:
    hostlink::FileLock mLock;
};

// Makes `dir` and its missing parents (each new one 0700), then checks that `dir` is a real
// directory (no symbolic link). False with an errno value otherwise.
bool MakeDirectories(std::string const& dir, int& error);

}  // namespace vireo::server::vout
