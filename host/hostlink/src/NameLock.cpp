// Cross-process name lock on top of flock.
#include "NameLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace hostlink {
namespace detail {

bool NameLock::Acquire(std::string const& lockPath, int timeoutMs) {
    Release();
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto pause = std::chrono::milliseconds(2);
    int fd = -1;
    for (;;) {
        if (fd < 0) {
            fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd < 0) {
                return false;
            }
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // The file we locked must still be the one at the path: the previous holder
            // deletes it before unlocking.
            struct stat held {};
            struct stat current {};
            if (::fstat(fd, &held) == 0 && ::stat(lockPath.c_str(), &current) == 0 &&
                held.st_dev == current.st_dev && held.st_ino == current.st_ino) {
                mFd = fd;
                mPath = lockPath;
                return true;
            }
            ::close(fd);
            fd = -1;
            continue;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            ::close(fd);
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(25));
    }
}

void NameLock::Release() {
    if (mFd < 0) {
        return;
    }
    ::unlink(mPath.c_str());
    ::close(mFd);
    mFd = -1;
    mPath.clear();
}

}  // namespace detail
}  // namespace hostlink
