#include "basetransport/LocalFolder.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace basetransport {

namespace {

constexpr char kFolderVariable[] = "CORVIDHOST_REGISTRY_DIR";

std::string WithoutTrailingSlashes(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    return dir;
}

std::string SystemError(std::string const& what, std::string const& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

std::string HomeDirectory() {
    if (char const* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        return home;
    }
    long const suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return found->pw_dir;
    }
    return std::string();
}

std::string RandomHex() {
    unsigned char bytes[8] = {};
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // Any distinct name will do; the randomness only avoids clashes.
        auto const now = static_cast<unsigned long long>(::getpid()) ^
                         static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&bytes));
        std::memcpy(bytes, &now, sizeof bytes);
    }
    static char const digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0xF]);
    }
    return text;
}

// The directory `dir` names, opened without following a final symlink; -1 when it is not a
// directory (or is a symlink).
int OpenDirectory(std::string const& dir) {
    return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

enum class FolderState { Ours, Foreign, Failed };

// Makes `dir` exist as this user's folder of mode 0700 when it is missing or ours with another
// mode; Foreign when something else of that name is in the way.
FolderState MakeOwnFolder(std::string const& dir, std::string& error) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = SystemError("cannot create", dir);
        return FolderState::Failed;
    }
    int const fd = OpenDirectory(dir);
    if (fd < 0) {
        if (errno == ENOTDIR || errno == ELOOP) {
            return FolderState::Foreign;
        }
        error = SystemError("cannot open", dir);
        return FolderState::Failed;
    }
    struct stat st {};
    FolderState state = FolderState::Ours;
    if (::fstat(fd, &st) != 0) {
        error = SystemError("cannot inspect", dir);
        state = FolderState::Failed;
    } else if (st.st_uid != ::geteuid()) {
        state = FolderState::Foreign;
    } else if ((st.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0) {
        error = SystemError("cannot set the mode of", dir);
        state = FolderState::Failed;
    }
    ::close(fd);
    return state;
}

// A folder of the default places: made, repaired, or taken back from whoever put something else
// in its place (possible only where the parent is ours).
bool ClaimFolder(std::string const& dir, std::string& error) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        FolderState const state = MakeOwnFolder(dir, error);
        if (state != FolderState::Foreign) {
            return state == FolderState::Ours;
        }
        std::string const parent = dir.substr(0, dir.rfind('/'));
        int const parentFd = OpenDirectory(parent.empty() ? "/" : parent);
        struct stat st {};
        bool const parentIsOurs =
            parentFd >= 0 && ::fstat(parentFd, &st) == 0 && st.st_uid == ::geteuid();
        if (parentFd >= 0) {
            ::close(parentFd);
        }
        if (!parentIsOurs) {
            error = dir + " belongs to another user, and so does the directory it is in";
            return false;
        }
        std::string const aside = dir + ".foreign-" + RandomHex();
        if (::rename(dir.c_str(), aside.c_str()) != 0 && errno != ENOENT) {
            error = SystemError("cannot move aside", dir);
            return false;
        }
    }
    error = dir + " keeps being replaced";
    return false;
}

}  // namespace

bool CheckPrivateFolder(std::string const& dir, std::string& error) {
    if (dir.empty()) {
        error = "no private folder";
        return false;
    }
    if (::mkdir(dir.c_str(), 0700) == 0) {
        // mkdir's mode is reduced by the umask; make sure it is exactly 0700.
        if (::chmod(dir.c_str(), 0700) != 0) {
            error = SystemError("cannot set the mode of", dir);
            return false;
        }
    } else if (errno != EEXIST) {
        error = SystemError("cannot create", dir);
        return false;
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        error = SystemError("cannot inspect", dir);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = dir + " is not a directory";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        error = dir + " belongs to another user";
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = dir + " is writable by group or others";
        return false;
    }
    return true;
}

std::string PrivateFolder(std::string& error) {
    if (char const* chosen = std::getenv(kFolderVariable); chosen != nullptr && *chosen != '\0') {
        std::string const dir = WithoutTrailingSlashes(chosen);
        return CheckPrivateFolder(dir, error) ? dir : std::string();
    }
    std::vector<std::string> candidates;
    if (char const* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && runtime[0] == '/') {
        candidates.push_back(WithoutTrailingSlashes(runtime) + "/corvidhost");
    }
    if (std::string const home = HomeDirectory(); !home.empty()) {
        candidates.push_back((home == "/" ? std::string() : WithoutTrailingSlashes(home)) +
                             "/.corvidhost");
    }
    error = "no place for a private folder (neither XDG_RUNTIME_DIR nor a home directory)";
    for (auto const& dir : candidates) {
        if (ClaimFolder(dir, error)) {
            return dir;
        }
    }
    return std::string();
}

std::string PrivateFolder() {
    std::string error;
    return PrivateFolder(error);
}

std::string ListenerPath(std::string const& folder, std::uint16_t port) {
    return folder + "/" + std::to_string(port) + ".sock";
}

}  // namespace basetransport
