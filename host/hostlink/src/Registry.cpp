// The registry directory, entry files and their contents.
#include "hostlink/Registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cerrno>
#include <cstring>
#include <vector>

#include "WriteAll.h"
#include "basekit/utility/Parse.h"
#include "basekit/utility/Process.h"
#include "basetransport/LocalFolder.h"
#include "hostlink/FileLock.h"
#include "hostlink/HostLink.h"

namespace hostlink {

namespace {

constexpr std::size_t kMaxEntryBytes = 64 * 1024;
// Hex names longer than this are shortened (file names are limited to 255 bytes).
constexpr std::size_t kMaxHexName = 160;
constexpr std::size_t kHexPrefixBytes = 64;

std::string Hex(unsigned char const* data, std::size_t size) {
    static char const digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0xF]);
    }
    return out;
}

std::uint64_t Fnv1a64(std::string const& text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

}  // namespace

bool PrepareRegistryDirectory(std::string const& dir, std::string& error) {
    return basetransport::CheckPrivateFolder(dir, error);
}

std::string RegistryDirectory() {
    return basetransport::PrivateFolder();
}

std::string EntryFileName(std::string const& serverName) {
    auto const* bytes = reinterpret_cast<unsigned char const*>(serverName.data());
    std::string hex = Hex(bytes, serverName.size());
    if (hex.size() > kMaxHexName) {
        std::uint64_t hash = Fnv1a64(serverName);
        unsigned char hashBytes[8];
        for (int i = 0; i < 8; ++i) {
            hashBytes[i] = static_cast<unsigned char>(hash >> (56 - 8 * i));
        }
        hex = Hex(bytes, kHexPrefixBytes) + "-" + Hex(hashBytes, sizeof hashBytes);
    }
    return hex + ".json";
}

std::string EntryPath(std::string const& registryDir, std::string const& serverName) {
    return registryDir + "/" + EntryFileName(serverName);
}

bool ReadEntry(std::string const& entryPath, RegistryEntry& out) {
    int fd = ::open(entryPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);  // only this user's own entries are believed
        return false;
    }
    std::string text;
    char buffer[4096];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxEntryBytes) {
            ok = false;
            break;
        }
    }
    ::close(fd);
    if (!ok) {
        return false;
    }
    boost::system::error_code ec;
    boost::json::value value = boost::json::parse(text, ec);
    if (ec || !value.is_object()) {
        return false;
    }
    auto const& object = value.get_object();
    auto const* pid = object.if_contains("pid");
    auto const* host = object.if_contains("host");
    auto const* port = object.if_contains("port");
    auto const* token = object.if_contains("token");
    if (!pid || !pid->is_int64() || !host || !host->is_string() || !port || !port->is_int64() ||
        !token || !token->is_string()) {
        return false;
    }
    std::int64_t portValue = port->get_int64();
    if (portValue <= 0 || portValue > 65535 || pid->get_int64() <= 0) {
        return false;
    }
    RegistryEntry entry;
    entry.pid = pid->get_int64();
    if (auto const* started = object.if_contains("started")) {
        if (started->is_uint64()) {
            entry.started = started->get_uint64();
        } else if (started->is_int64() && started->get_int64() > 0) {
            entry.started = static_cast<std::uint64_t>(started->get_int64());
        }
    }
    entry.host = std::string(host->get_string());
    entry.port = static_cast<std::uint16_t>(portValue);
    entry.token = std::string(token->get_string());
    if (auto const* instance = object.if_contains("instance"); instance && instance->is_string()) {
        entry.instance = std::string(instance->get_string());
    }
    if (auto const* name = object.if_contains("name"); name && name->is_string()) {
        entry.name = std::string(name->get_string());
    }
    out = std::move(entry);
    return true;
}

bool WriteEntry(std::string const& entryPath, RegistryEntry const& entry) {
    boost::json::object object;
    object["pid"] = entry.pid;
    object["started"] = entry.started;
    object["host"] = entry.host;
    object["port"] = static_cast<std::int64_t>(entry.port);
    object["token"] = entry.token;
    object["instance"] = entry.instance;
    object["name"] = entry.name;
    std::string text = boost::json::serialize(object);
    text.push_back('\n');

    std::string temp = entryPath + ".tmp." + std::to_string(static_cast<long>(::getpid()));
    ::unlink(temp.c_str());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return false;
    }
    bool ok = ::fchmod(fd, 0600) == 0 && detail::WriteAllAt(fd, text);
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(temp.c_str(), entryPath.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool IsEntryProcessAlive(RegistryEntry const& entry) {
    if (!basekit::utility::IsProcessAlive(entry.pid)) {
        return false;
    }
    return entry.started == 0 || basekit::utility::ProcessStartTime(entry.pid) == entry.started;
}

namespace {

bool EndsWith(std::string const& text, std::string const& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool IsOurs(std::string const& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && st.st_uid == ::geteuid();
}

// An entry, looked at under its name's lock: removed when its server has gone (or it cannot be
// read). An entry whose lock is held is in use and left alone.
void RemoveStaleEntry(std::string const& path) {
    FileLock lock;
    if (!lock.Take(LockPath(path), FileLock::OnRelease::kRemove, 0)) {
        return;
    }
    RegistryEntry entry;
    if (!ReadEntry(path, entry) || !IsEntryProcessAlive(entry)) {
        ::unlink(path.c_str());
    }
    lock.Release();
}

// "<entry>.tmp.<pid>": what WriteEntry leaves when its writer dies between writing and renaming.
void RemoveAbandonedTemporary(std::string const& path, std::string const& name) {
    std::int64_t writer = 0;
    std::size_t const mark = name.rfind(".tmp.");
    if (mark != std::string::npos &&
        basekit::utility::ParseInteger(name.substr(mark + 5), writer) &&
        !basekit::utility::IsProcessAlive(writer)) {
        ::unlink(path.c_str());
    }
}

}  // namespace

void RemoveLeftovers(std::string const& registryDir) {
    DIR* listing = ::opendir(registryDir.c_str());
    if (listing == nullptr) {
        return;
    }
    std::vector<std::string> names;
    while (dirent* item = ::readdir(listing)) {
        names.emplace_back(item->d_name);
    }
    ::closedir(listing);
    for (auto const& name : names) {
        std::string const path = registryDir + "/" + name;
        bool const entry = EndsWith(name, ".json");
        bool const lockFile = EndsWith(name, ".json.lock");
        bool const temporary = name.find(".json.tmp.") != std::string::npos;
        if (!entry && !lockFile && !temporary) {
            continue;
        }
        if (!IsOurs(path)) {
            ::unlink(path.c_str());  // planted by another user while the folder was open
        } else if (entry) {
            RemoveStaleEntry(path);
        } else if (lockFile) {
            // Taken without waiting: a lock nobody holds is a leftover of a process that died
            // holding it; releasing it removes the file.
            FileLock lock;
            if (lock.Take(path, FileLock::OnRelease::kRemove, 0)) {
                lock.Release();
            }
        } else {
            RemoveAbandonedTemporary(path, name);
        }
    }
}

}  // namespace hostlink
