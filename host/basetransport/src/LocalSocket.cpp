#include "LocalSocket.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <random>
#include <thread>

#include "basetransport/LocalFolder.h"

namespace basetransport {
namespace detail {

namespace {

// Serialises removing stale listener files with binding new ones, across processes: without it
// a process could see a fresh socket between its bind and its listen, take it for stale and
// remove it. Held for a few system calls per file of the folder; never removed.
constexpr char kFolderLockName[] = "/sockets.lock";
constexpr std::chrono::milliseconds kFolderLockWait{5000};
constexpr int kPortAttempts = 256;

// The address of a socket file. A path too long for sockaddr_un is reached through a descriptor
// of its directory ("/proc/self/fd/<n>/<name>"), held while the address is in use.
class LocalAddress {
  public:
    explicit LocalAddress(std::string const& path) {
        mAddress.sun_family = AF_UNIX;
        std::string target = path;
        if (target.size() >= sizeof mAddress.sun_path) {
            std::size_t const slash = path.rfind('/');
            if (slash == std::string::npos) {
                return;
            }
            mDirFd = ::open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (mDirFd < 0) {
                return;
            }
            target = "/proc/self/fd/" + std::to_string(mDirFd) + path.substr(slash);
            if (target.size() >= sizeof mAddress.sun_path) {
                return;
            }
        }
        std::memcpy(mAddress.sun_path, target.c_str(), target.size() + 1);
        mSize = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + target.size() + 1);
    }
    ~LocalAddress() {
        if (mDirFd >= 0) {
            ::close(mDirFd);
        }
    }
    LocalAddress(LocalAddress const&) = delete;
    LocalAddress& operator=(LocalAddress const&) = delete;

    bool Valid() const { return mSize != 0; }
    sockaddr const* Get() const { return reinterpret_cast<sockaddr const*>(&mAddress); }
    socklen_t Size() const { return mSize; }

  private:
    sockaddr_un mAddress{};
    socklen_t mSize = 0;
    int mDirFd = -1;
};

// flock on the folder's lock file, waited for up to kFolderLockWait.
class FolderLock {
  public:
    explicit FolderLock(std::string const& folder, std::chrono::milliseconds wait) {
        std::string const path = folder + kFolderLockName;
        mFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (mFd < 0) {
            return;
        }
        auto const deadline = Clock::now() + wait;
        auto pause = std::chrono::milliseconds(1);
        while (::flock(mFd, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || Clock::now() >= deadline) {
                ::close(mFd);
                mFd = -1;
                return;
            }
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::milliseconds(20));
        }
    }
    ~FolderLock() {
        if (mFd >= 0) {
            ::close(mFd);  // releases the lock
        }
    }
    FolderLock(FolderLock const&) = delete;
    FolderLock& operator=(FolderLock const&) = delete;
    bool Held() const { return mFd >= 0; }

  private:
    int mFd = -1;
};

bool IsListenerFileName(char const* name) {
    std::size_t const length = std::strlen(name);
    constexpr std::size_t kSuffix = 5;  // ".sock"
    if (length <= kSuffix || length > kSuffix + 5 ||
        std::strcmp(name + length - kSuffix, ".sock") != 0) {
        return false;
    }
    return std::all_of(name, name + length - kSuffix, [](char c) { return c >= '0' && c <= '9'; });
}

void RemoveStaleLocked(std::string const& folder) {
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) {
        return;
    }
    uid_t const self = ::geteuid();
    while (dirent* item = ::readdir(listing)) {
        if (!IsListenerFileName(item->d_name)) {
            continue;
        }
        std::string const path = folder + "/" + item->d_name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            continue;
        }
        bool const foreign = st.st_uid != self;
        if (foreign ||
            (S_ISSOCK(st.st_mode) && ProbeListener(path, nullptr) == ProbeResult::Absent)) {
            ::unlink(path.c_str());
        }
    }
    ::closedir(listing);
}

std::uint16_t RandomPort(std::mt19937& random) {
    // Below 1024 stays unused, so that a port never looks like a system service's.
    return static_cast<std::uint16_t>(1024 + random() % (65536 - 1024));
}

std::mt19937 SeededRandom() {
    std::uint32_t seed = 0;
    if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
        seed = static_cast<std::uint32_t>(::getpid()) ^
               static_cast<std::uint32_t>(Clock::now().time_since_epoch().count());
    }
    return std::mt19937(seed);
}

}  // namespace

bool ReadPeerCredentials(int fd, PeerCredentials& out) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        length != sizeof credentials) {
        return false;
    }
    out.pid = credentials.pid;
    out.uid = credentials.uid;
    return true;
}

BoundListener BindListener(std::string const& folder, std::uint16_t port) {
    BoundListener result;
    FolderLock lock(folder, kFolderLockWait);
    if (!lock.Held()) {
        result.error = "cannot lock " + folder + kFolderLockName;
        return result;
    }
    RemoveStaleLocked(folder);
    std::mt19937 random = SeededRandom();
    for (int attempt = 0; attempt < (port == 0 ? kPortAttempts : 1); ++attempt) {
        std::uint16_t const candidate = port != 0 ? port : RandomPort(random);
        std::string const path = ListenerPath(folder, candidate);
        LocalAddress address(path);
        if (!address.Valid()) {
            result.error = "the socket path is too long: " + path;
            return result;
        }
        int const fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            result.error = std::string("socket: ") + std::strerror(errno);
            return result;
        }
        if (::bind(fd, address.Get(), address.Size()) != 0) {
            int const error = errno;
            ::close(fd);
            if (error == EADDRINUSE) {
                continue;
            }
            result.error = "cannot bind " + path + ": " + std::strerror(error);
            return result;
        }
        struct stat st {};
        if (::chmod(path.c_str(), 0600) != 0 || ::lstat(path.c_str(), &st) != 0 ||
            ::listen(fd, SOMAXCONN) != 0) {
            result.error = "cannot listen on " + path + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(path.c_str());
            return result;
        }
        result.fd = fd;
        result.port = candidate;
        result.path = path;
        result.inode = st.st_ino;
        return result;
    }
    result.error = "no free port in " + folder;
    return result;
}

void RemoveListenerFile(std::string const& path, ino_t inode) {
    struct stat st {};
    if (!path.empty() && ::lstat(path.c_str(), &st) == 0 && st.st_ino == inode) {
        ::unlink(path.c_str());
    }
}

int ConnectListener(std::string const& path, Clock::time_point deadline, std::string& error) {
    LocalAddress address(path);
    if (!address.Valid()) {
        error = "the socket path is too long: " + path;
        return -1;
    }
    int const fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    for (;;) {
        // A listener whose queue is full makes connect wait, at most for the send time-out.
        auto const left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            error = "connect: timed out";
            break;
        }
        timeval timeout{};
        timeout.tv_sec = static_cast<time_t>(left.count() / 1000000);
        timeout.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        if (::connect(fd, address.Get(), address.Size()) == 0) {
            timeval none{};
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
            int const flags = ::fcntl(fd, F_GETFL);
            if (flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) {
                return fd;
            }
            error = std::string("fcntl: ") + std::strerror(errno);
            break;
        }
        if (errno == EINTR) {
            continue;
        }
        error = errno == EAGAIN || errno == EINPROGRESS
                    ? std::string("connect: timed out")
                    : "connect to " + path + ": " + std::strerror(errno);
        break;
    }
    ::close(fd);
    return -1;
}

ProbeResult ProbeListener(std::string const& path, PeerCredentials* listener) {
    LocalAddress address(path);
    if (!address.Valid()) {
        return ProbeResult::Unknown;
    }
    int const fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return ProbeResult::Unknown;
    }
    ProbeResult result = ProbeResult::Unknown;
    if (::connect(fd, address.Get(), address.Size()) == 0) {
        result = ProbeResult::Listening;
        if (listener != nullptr && !ReadPeerCredentials(fd, *listener)) {
            result = ProbeResult::Unknown;
        }
    } else if (errno == EAGAIN) {
        result = listener == nullptr ? ProbeResult::Listening : ProbeResult::Unknown;
    } else if (errno == ECONNREFUSED || errno == ENOENT) {
        result = ProbeResult::Absent;
    }
    ::close(fd);
    return result;
}

void RemoveStaleListeners(std::string const& folder) {
    FolderLock lock(folder, kFolderLockWait);
    if (lock.Held()) {
        RemoveStaleLocked(folder);
    }
}

}  // namespace detail

ListenerState ProbeListener(std::string const& folder, std::uint16_t port, std::int64_t& pid) {
    detail::PeerCredentials listener;
    pid = 0;
    switch (detail::ProbeListener(ListenerPath(folder, port), &listener)) {
        case detail::ProbeResult::Listening:
            if (listener.uid != ::geteuid()) {
                return ListenerState::Absent;  // not ours: nothing of ours listens there
            }
            pid = listener.pid;
            return ListenerState::Listening;
        case detail::ProbeResult::Absent:
            return ListenerState::Absent;
        case detail::ProbeResult::Unknown:
            break;
    }
    return ListenerState::Unknown;
}

}  // namespace basetransport
