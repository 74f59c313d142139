// CreateNamedServerConnection: find the live server of a name, or start one and wait for it to
// announce itself; then tell the caller where it listens.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

#include "NameLock.h"
#include "Spawn.h"
#include "basekit/utility/Parse.h"
#include "basekit/utility/Process.h"
#include "basekit/utility/Text.h"
#include "hostlink/HostLink.h"
#include "hostlink/Registry.h"

namespace hostlink {

namespace {

using Clock = std::chrono::steady_clock;

// How long a started server has to announce itself (CORVIDHOST_ANNOUNCE_TIMEOUT_MS overrides,
// for tests of the time-out).
constexpr int kDefaultAnnounceTimeoutMs = 60000;
// Another process holds the name's lock at most for an announcement wait plus one connection.
constexpr int kExtraLockWaitMs = 30000;
constexpr int kProbeTimeoutMs = 1000;
constexpr int kAnnouncePollMs = 100;

std::atomic<std::int64_t> gNextTicket{1};

int AnnounceTimeoutMs() {
    return static_cast<int>(basekit::utility::EnvironmentInteger(
        "CORVIDHOST_ANNOUNCE_TIMEOUT_MS", kDefaultAnnounceTimeoutMs, 1, 3600000));
}

bool IsExecutableFile(std::string const& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// True when host:port accepts a TCP connection within the probe time-out.
bool AcceptsConnections(std::string const& host, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        return false;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    bool connected = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        connected = true;
    } else if (errno == EINPROGRESS) {
        pollfd pfd{fd, POLLOUT, 0};
        int ready;
        do {
            ready = ::poll(&pfd, 1, kProbeTimeoutMs);
        } while (ready < 0 && errno == EINTR);
        int soError = 0;
        socklen_t length = sizeof soError;
        connected = ready == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) == 0 &&
                    soError == 0;
    }
    ::close(fd);
    return connected;
}

// An entry that names a live, reachable server of this name.
bool FindLiveServer(std::string const& entryPath, std::string const& serverName,
                    RegistryEntry& entry) {
    if (!ReadEntry(entryPath, entry)) {
        return false;
    }
    if (!entry.name.empty() && entry.name != serverName) {
        return false;
    }
    return basekit::utility::IsProcessAlive(entry.pid) &&
           AcceptsConnections(entry.host, entry.port);
}

// Watches the registry directory for new entries; without inotify the caller just polls.
class DirectoryWatch {
  public:
    explicit DirectoryWatch(std::string const& dir) {
        mFd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (mFd >= 0 &&
            ::inotify_add_watch(mFd, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE) < 0) {
            ::close(mFd);
            mFd = -1;
        }
    }
    ~DirectoryWatch() {
        if (mFd >= 0) {
            ::close(mFd);
        }
    }
    DirectoryWatch(DirectoryWatch const&) = delete;
    DirectoryWatch& operator=(DirectoryWatch const&) = delete;
    int Fd() const { return mFd; }
    void Drain() {
        alignas(inotify_event) char buffer[4096];
        while (mFd >= 0 && ::read(mFd, buffer, sizeof buffer) > 0) {
        }
    }

  private:
    int mFd = -1;
};

// Starts the server and waits until it announces itself, exits, or the time runs out.
bool StartServer(std::string const& executable, std::vector<std::string> const& environment,
                 std::string const& registryDir, std::string const& entryPath,
                 std::string const& serverName, std::string const& instanceName,
                 int announceTimeoutMs, RegistryEntry& entry) {
    DirectoryWatch watch(registryDir);
    std::string error;
    auto child = detail::SpawnServer(
        executable,
        {"--name", serverName, "--registry", registryDir, "--instance", instanceName,
         "--parent-pid", std::to_string(static_cast<long>(::getpid()))},
        environment, error);
    if (!child) {
        return false;
    }
    auto const deadline = Clock::now() + std::chrono::milliseconds(announceTimeoutMs);
    for (;;) {
        watch.Drain();
        RegistryEntry found;
        bool const announced = ReadEntry(entryPath, found) && found.pid == child->Pid();
        if (child->HasExited()) {
            if (announced) {
                ::unlink(entryPath.c_str());  // it announced, then died
            }
            return false;
        }
        if (announced) {
            entry = found;
            return true;
        }
        auto const now = Clock::now();
        if (now >= deadline) {
            // A server that never announced itself must not linger.
            ::kill(child->Pid(), SIGKILL);
            return false;
        }
        auto const left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        pollfd fds[2] = {{watch.Fd(), POLLIN, 0}, {child->ExitEventFd(), POLLIN, 0}};
        ::poll(fds, 2, static_cast<int>(std::min<long long>(left, kAnnouncePollMs)) + 1);
    }
}

struct ConnectionRequest {
    std::string serverName;
    std::string executable;
    std::string instanceName;
    std::string registryDir;
    std::vector<std::string> environment;  // as it was when the caller asked
    int announceTimeoutMs = kDefaultAnnounceTimeoutMs;
};

void RunConnection(ConnectionRequest const& request, ConnectionCallback const& onConnection) {
    std::string const& serverName = request.serverName;
    ServerConnection connection;
    std::string const entryPath = EntryPath(request.registryDir, serverName);
    detail::NameLock lock;
    if (lock.Acquire(LockPath(entryPath), request.announceTimeoutMs + kExtraLockWaitMs)) {
        RegistryEntry entry;
        bool ready = FindLiveServer(entryPath, serverName, entry);
        if (!ready) {
            ::unlink(entryPath.c_str());  // stale: its process is gone or no longer listens
            ready =
                StartServer(request.executable, request.environment, request.registryDir, entryPath,
                            serverName, request.instanceName, request.announceTimeoutMs, entry);
        }
        if (ready) {
            GetSharedTransport()->SetServerToken(entry.host, entry.port, entry.token);
            connection.host = entry.host;
            connection.port = entry.port;
            connection.processID = entry.pid;
        }
    }
    // The callback runs while the lock is still held, so a shared server cannot retire between
    // being found and being connected to (it retires only under the same lock).
    try {
        if (onConnection) {
            onConnection(connection);
        }
    } catch (...) {
        // The callback's failure is its own; this thread must not take the process down.
    }
    lock.Release();
}

}  // namespace

std::int64_t CreateNamedServerConnection(basekit::UTF16String const& serverName,
                                         basekit::UTF16String const& executablePath,
                                         basekit::UTF16String const& instanceName,
                                         ConnectionCallback onConnection) {
    ConnectionRequest request;
    request.serverName = basekit::utility::UTF16to8(serverName);
    request.executable = basekit::utility::UTF16to8(executablePath);
    request.instanceName = basekit::utility::UTF16to8(instanceName);
    if (request.serverName.empty() || !IsExecutableFile(request.executable)) {
        return 0;
    }
    request.registryDir = RegistryDirectory();
    if (request.registryDir.empty()) {
        return 0;  // no safe place to find servers in
    }
    request.environment = detail::CopyEnvironment();
    request.announceTimeoutMs = AnnounceTimeoutMs();
    std::int64_t const ticket = gNextTicket.fetch_add(1);
    try {
        std::thread([request = std::move(request), callback = std::move(onConnection)] {
            RunConnection(request, callback);
        }).detach();
    } catch (std::system_error const&) {
        return 0;  // no thread could be made: nothing will call back
    }
    return ticket;
}

}  // namespace hostlink
