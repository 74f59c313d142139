#include "ComponentLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "basekit/utility/Parse.h"
#include "basekit/utility/Process.h"
#include "basekit/utility/Text.h"
#include "hostlink/Registry.h"

namespace vireo::server::vout {
namespace {

// The longest application name kept in a lock file.
constexpr std::size_t kMaxNameBytes = 1024;
// A refused taker may find the file between the holder's flock and its write (or still holding
// a crashed holder's text): it reads again, this many times, this far apart.
constexpr int kReadAttempts = 40;
constexpr auto kReadPause = std::chrono::milliseconds(5);

bool WriteAll(int fd, std::string const& text) {
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

// Reads "pid <pid>\n<name>" from the start of `fd`. False when the text is not complete or its
// writer is no longer alive.
bool ReadHolder(int fd, std::string& name) {
    char buffer[kMaxNameBytes + 64];
    ssize_t n;
    do {
        n = ::pread(fd, buffer, sizeof buffer, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return false;
    }
    std::string const text(buffer, static_cast<std::size_t>(n));
    if (text.compare(0, 4, "pid ") != 0) {
        return false;
    }
    std::size_t const lineEnd = text.find('\n');
    if (lineEnd == std::string::npos) {
        return false;
    }
    std::int64_t pid = 0;
    if (!basekit::utility::ParseInteger(std::string_view(text).substr(4, lineEnd - 4), pid) ||
        !basekit::utility::IsProcessAlive(pid)) {
        return false;
    }
    name = basekit::utility::MakeValidUTF8(std::string_view(text).substr(lineEnd + 1));
    return true;
}

}  // namespace

ComponentLock::~ComponentLock() {
    Release();
}

ComponentLock::ComponentLock(ComponentLock&& other) noexcept : mFd(other.mFd) {
    other.mFd = -1;
}

ComponentLock& ComponentLock::operator=(ComponentLock&& other) noexcept {
    if (this != &other) {
        Release();
        mFd = other.mFd;
        other.mFd = -1;
    }
    return *this;
}

ComponentLock::Outcome ComponentLock::Take(std::string const& directory, std::string const& key,
                                           std::string const& application, std::string& holder,
                                           int& error) {
    Release();
    holder.clear();
    error = 0;
    if (!MakeDirectories(directory, error)) {
        return Outcome::kFailed;
    }
    std::string prepareError;
    if (!hostlink::PrepareRegistryDirectory(directory, prepareError)) {
        error = EACCES;
        return Outcome::kFailed;
    }
    std::string const path = directory + "/" + key + ".lock";
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
        if (lockError != EWOULDBLOCK) {
            ::close(fd);
            error = lockError;
            return Outcome::kFailed;
        }
        for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
            if (ReadHolder(fd, holder)) {
                break;
            }
            std::this_thread::sleep_for(kReadPause);
        }
        ::close(fd);
        return Outcome::kHeld;
    }
    std::string name = application.substr(0, kMaxNameBytes);
    std::string const text = "pid " + std::to_string(::getpid()) + "\n" + name;
    if (::ftruncate(fd, 0) != 0 || !WriteAll(fd, text)) {
        error = errno;
        ::close(fd);
        return Outcome::kFailed;
    }
    mFd = fd;
    return Outcome::kTaken;
}

void ComponentLock::Release() noexcept {
    if (mFd < 0) {
        return;
    }
    // Emptied first, so that no later reader takes this holder's name for a new holder's.
    if (::ftruncate(mFd, 0) != 0) {
        // The lock still goes; a reader checks the pid it finds.
    }
    ::close(mFd);  // drops the flock
    mFd = -1;
}

std::string DefaultLockDirectory() {
    if (char const* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
        return std::string(runtime) + "/vireo-vout";
    }
    char const* tmp = std::getenv("TMPDIR");
    return std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/vireo-vout-" +
           std::to_string(static_cast<unsigned long>(::geteuid()));
}

bool MakeDirectories(std::string const& dir, int& error) {
    if (dir.empty()) {
        error = ENOENT;
        return false;
    }
    for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') {
            continue;
        }
        std::string const part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) == 0) {
            // mkdir's mode is reduced by the umask; a new directory is exactly 0700.
            ::chmod(part.c_str(), 0700);
        } else if (errno != EEXIST) {
            error = errno;
            return false;
        }
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        error = errno;
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = ENOTDIR;
        return false;
    }
    return true;
}

}  // namespace vireo::server::vout
