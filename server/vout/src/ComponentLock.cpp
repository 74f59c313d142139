#include "ComponentLock.h"

#include <fcntl.h>
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
#include "vout/VideoOutputs.h"

namespace vireo::server::vout {
namespace {

// The longest application name kept in a lock file.
constexpr std::size_t kMaxNameBytes = 1024;
// A refused taker may find the file between the holder's flock and its write (or still holding
// a crashed holder's text): it reads again, this many times, this far apart.
constexpr int kReadAttempts = 40;
constexpr auto kReadPause = std::chrono::milliseconds(5);

// Reads "pid <pid>\n<name>" from the start of `fd`. False when the text is not complete or its
// writer is no longer alive.
bool ReadHolderText(int fd, std::string& name) {
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

// The application name of the live holder of the lock file at `path`; empty when it cannot be
// told.
void ReadHolder(std::string const& path, std::string& name) {
    int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return;
    }
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        if (ReadHolderText(fd, name)) {
            break;
        }
        std::this_thread::sleep_for(kReadPause);
    }
    ::close(fd);
}

}  // namespace

ComponentLock::~ComponentLock() {
    Release();
}

ComponentLock& ComponentLock::operator=(ComponentLock&& other) noexcept {
    if (this != &other) {
        Release();
        mLock = std::move(other.mLock);
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
    switch (mLock.TryTake(path, hostlink::FileLock::OnRelease::kKeep, error)) {
        case hostlink::FileLock::Outcome::kTaken:
            break;
        case hostlink::FileLock::Outcome::kFailed:
            return Outcome::kFailed;
        case hostlink::FileLock::Outcome::kBusy:
            ReadHolder(path, holder);
            return Outcome::kHeld;
    }
    std::string const name = application.substr(0, kMaxNameBytes);
    if (!mLock.Replace("pid " + std::to_string(::getpid()) + "\n" + name)) {
        error = errno;
        mLock.Release();
        return Outcome::kFailed;
    }
    return Outcome::kTaken;
}

void ComponentLock::Release() noexcept {
    if (!mLock.IsHeld()) {
        return;
    }
    // Emptied first, so that no later reader takes this holder's name for a new holder's. Should
    // that fail, the lock still goes: a reader checks the pid it finds.
    mLock.Replace(std::string());
    mLock.Release();
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
