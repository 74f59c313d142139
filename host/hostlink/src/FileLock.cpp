// Cross-process file lock on top of flock.
#include "hostlink/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "WriteAll.h"

namespace hostlink {

namespace detail {

bool WriteAllAt(int fd, std::string const& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t const n =
            ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace detail

FileLock::~FileLock() {
    Release();
}

FileLock::FileLock(FileLock&& other) noexcept
    : mPath(std::move(other.mPath)), mFd(other.mFd), mOnRelease(other.mOnRelease) {
    other.mFd = -1;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        Release();
        mPath = std::move(other.mPath);
        mFd = other.mFd;
        mOnRelease = other.mOnRelease;
        other.mFd = -1;
    }
    return *this;
}

FileLock::Outcome FileLock::TryTake(std::string const& path, OnRelease onRelease, int& error) {
    Release();
    error = 0;
    for (;;) {
        int const fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            error = errno;
            return Outcome::kFailed;
        }
        int locked;
        do {
            locked = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (locked != 0 && errno == EINTR);
        if (locked != 0) {
            int const lockError = errno;
            ::close(fd);
            if (lockError == EWOULDBLOCK) {
                return Outcome::kBusy;
            }
            error = lockError;
            return Outcome::kFailed;
        }
        // The file locked must still be the one at the path: a holder that removes its file
        // deletes it before unlocking. Another file there, or none, means starting over; a path
        // that cannot be looked at any more is an error (starting over could go on for ever).
        struct stat held {};
        struct stat current {};
        bool const checked = ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &current) == 0;
        if (checked && held.st_dev == current.st_dev && held.st_ino == current.st_ino) {
            mFd = fd;
            mPath = path;
            mOnRelease = onRelease;
            return Outcome::kTaken;
        }
        int const checkError = errno;
        ::close(fd);
        if (!checked && checkError != ENOENT) {
            error = checkError;
            return Outcome::kFailed;
        }
    }
}

bool FileLock::Take(std::string const& path, OnRelease onRelease, int timeoutMs) {
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto pause = std::chrono::milliseconds(2);
    for (;;) {
        int error = 0;
        switch (TryTake(path, onRelease, error)) {
            case Outcome::kTaken:
                return true;
            case Outcome::kFailed:
                return false;
            case Outcome::kBusy:
                break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(25));
    }
}

bool FileLock::Replace(std::string const& text) {
    if (mFd < 0) {
        errno = EBADF;
        return false;
    }
    return ::ftruncate(mFd, 0) == 0 && detail::WriteAllAt(mFd, text);
}

void FileLock::Release() noexcept {
    if (mFd < 0) {
        return;
    }
    if (mOnRelease == OnRelease::kRemove) {
        ::unlink(mPath.c_str());
    }
    ::close(mFd);  // drops the flock
    mFd = -1;
    mPath.clear();
}

}  // namespace hostlink
