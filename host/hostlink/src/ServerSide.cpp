// The server's side of discovery: command line, token, announcing and withdrawing the entry.
#include "hostlink/ServerSide.h"

#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "basekit/utility/Parse.h"
#include "basekit/utility/Process.h"
#include "hostlink/FileLock.h"
#include "hostlink/Registry.h"

namespace hostlink {
namespace server {

namespace {

// A non-negative integer option.
bool ParseCount(std::string const& text, std::int64_t& out) {
    std::int64_t value = 0;
    if (!basekit::utility::ParseInteger(text, value) || value < 0) {
        return false;
    }
    out = value;
    return true;
}

}  // namespace

bool ParseLaunchOptions(int argc, char** argv, LaunchOptions& out, std::string& error) {
    LaunchOptions options;
    bool haveInstance = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        std::string value;
        auto equals = argument.find('=');
        if (argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = argument.substr(equals + 1);
            argument.erase(equals);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            error = "missing value for " + argument;
            return false;
        }
        if (argument == "--name") {
            options.name = value;
        } else if (argument == "--registry") {
            options.registry = value;
        } else if (argument == "--instance") {
            options.instance = value;
            haveInstance = true;
        } else if (argument == "--parent-pid") {
            if (!ParseCount(value, options.parentPid)) {
                error = "bad --parent-pid: " + value;
                return false;
            }
        } else if (argument == "--idle-ms") {
            if (!ParseCount(value, options.idleMs)) {
                error = "bad --idle-ms: " + value;
                return false;
            }
        } else {
            error = "unknown option " + argument;
            return false;
        }
    }
    if (options.name.empty() || options.registry.empty()) {
        error = "--name and --registry are required";
        return false;
    }
    if (!haveInstance) {
        options.instance = options.name;
    }
    out = std::move(options);
    return true;
}

std::string MakeToken() {
    unsigned char bytes[32];
    std::size_t done = 0;
    while (done < sizeof bytes) {
        ssize_t n = ::getrandom(bytes + done, sizeof bytes - done, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Without the kernel's randomness there is no secret worth the name.
            throw std::runtime_error(std::string("getrandom failed: ") + std::strerror(errno));
        }
        done += static_cast<std::size_t>(n);
    }
    static char const digits[] = "0123456789abcdef";
    std::string token;
    token.reserve(64);
    for (unsigned char b : bytes) {
        token.push_back(digits[b >> 4]);
        token.push_back(digits[b & 0xF]);
    }
    return token;
}

bool Announce(LaunchOptions const& options, std::string const& host, std::uint16_t port,
              std::string const& token) {
    std::string error;
    if (port == 0 || !PrepareRegistryDirectory(options.registry, error)) {
        return false;
    }
    RegistryEntry entry;
    entry.pid = ::getpid();
    entry.started = basekit::utility::ProcessStartTime(entry.pid);
    entry.host = host;
    entry.port = port;
    entry.token = token;
    entry.instance = options.instance;
    entry.name = options.name;
    return WriteEntry(EntryPath(options.registry, options.name), entry);
}

void Withdraw(LaunchOptions const& options) {
    std::string const path = EntryPath(options.registry, options.name);
    RegistryEntry entry;
    if (ReadEntry(path, entry) && entry.pid == ::getpid()) {
        ::unlink(path.c_str());
    }
}

bool WithdrawIfIdle(LaunchOptions const& options, std::function<bool()> const& stillIdle,
                    int timeoutMs) {
    FileLock lock;
    if (!lock.Take(LockPath(EntryPath(options.registry, options.name)),
                   FileLock::OnRelease::kRemove, timeoutMs)) {
        // A registry folder removed while the server ran (and its sockets with it): no client can
        // find or reach this server any more, and nobody holds its lock, so it ends once idle
        // rather than running on for ever.
        struct stat folder {};
        bool const folderGone = ::stat(options.registry.c_str(), &folder) != 0 && errno == ENOENT;
        return folderGone && (!stillIdle || stillIdle());
    }
    if (stillIdle && !stillIdle()) {
        return false;
    }
    Withdraw(options);
    return true;
}

}  // namespace server
}  // namespace hostlink
