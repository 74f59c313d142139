// CreateNamedServerConnection: find the live server of a name, or start one and wait for it to
// announce itself; then tell the caller where it listens.
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "Spawn.h"
#include "basekit/debug/Failure.h"
#include "basekit/utility/Parse.h"
#include "basekit/utility/Text.h"
#include "basetransport/LocalFolder.h"
#include "hostlink/FileLock.h"
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
constexpr int kAnnouncePollMs = 100;
constexpr char kRegistryVariable[] = "CORVIDHOST_REGISTRY_DIR";

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

// An entry that names a live server of this name, listening where the entry says.
bool FindLiveServer(std::string const& registryDir, std::string const& entryPath,
                    std::string const& serverName, RegistryEntry& entry) {
    if (!ReadEntry(entryPath, entry)) {
        return false;
    }
    if (!entry.name.empty() && entry.name != serverName) {
        return false;
    }
    if (!IsEntryProcessAlive(entry)) {
        return false;
    }
    std::int64_t listener = 0;
    switch (basetransport::ProbeListener(registryDir, entry.port, listener)) {
        case basetransport::ListenerState::Listening:
            return listener == entry.pid;
        case basetransport::ListenerState::Absent:
            return false;
        case basetransport::ListenerState::Unknown:
            break;
    }
    return true;  // alive, and its listener too busy to ask: it is there
}

// The threads that run connection requests. Each is joined by a later request once it has
// finished, and at exit; the set itself is never destroyed, so a request still running when the
// process exits (its thread detached then) ends with the process.
class LaunchThreads {
  public:
    static LaunchThreads& Instance() {
        static LaunchThreads* const sThreads = [] {
            auto* threads = new LaunchThreads();
            std::atexit(&LaunchThreads::AtExit);
            return threads;
        }();
        return *sThreads;
    }

    // False when no thread could be made.
    template <class Work>
    bool Start(Work&& work) {
        std::lock_guard<std::mutex> lock(mMutex);
        JoinFinishedLocked();
        auto const self = mThreads.insert(mThreads.end(), Launch());
        try {
            self->thread = std::thread([this, self, work = std::forward<Work>(work)]() mutable {
                work();
                std::lock_guard<std::mutex> done(mMutex);
                self->finished = true;  // its last use of the set
            });
        } catch (std::system_error const&) {
            mThreads.erase(self);
            return false;
        }
        return true;
    }

  private:
    struct Launch {
        std::thread thread;
        bool finished = false;
    };

    void JoinFinishedLocked() {
        for (auto it = mThreads.begin(); it != mThreads.end();) {
            if (it->finished) {
                it->thread.join();  // it only returns from here on
                it = mThreads.erase(it);
            } else {
                ++it;
            }
        }
    }

    static void AtExit() {
        LaunchThreads& threads = Instance();
        std::lock_guard<std::mutex> lock(threads.mMutex);
        threads.JoinFinishedLocked();
        for (auto& launch : threads.mThreads) {
            if (launch.thread.joinable()) {
                launch.thread.detach();  // still waiting for a server: it ends with the process
            }
        }
    }

    std::mutex mMutex;
    std::list<Launch> mThreads;
};

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

// The caller's environment with the registry named explicitly: the server listens in its
// private folder, which must be this registry.
std::vector<std::string> ServerEnvironment(std::string const& registryDir) {
    std::vector<std::string> environment = detail::CopyEnvironment();
    std::string const prefix = std::string(kRegistryVariable) + "=";
    environment.erase(std::remove_if(environment.begin(), environment.end(),
                                     [&](std::string const& variable) {
                                         return variable.compare(0, prefix.size(), prefix) == 0;
                                     }),
                      environment.end());
    environment.push_back(prefix + registryDir);
    return environment;
}

void RunConnection(ConnectionRequest const& request, ConnectionCallback const& onConnection) {
    std::string const& serverName = request.serverName;
    ServerConnection connection;
    std::string const entryPath = EntryPath(request.registryDir, serverName);
    RemoveLeftovers(request.registryDir);
    FileLock lock;
    if (lock.Take(LockPath(entryPath), FileLock::OnRelease::kRemove,
                  request.announceTimeoutMs + kExtraLockWaitMs)) {
        RegistryEntry entry;
        bool ready = FindLiveServer(request.registryDir, entryPath, serverName, entry);
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
        BASEKIT_REPORT_CAUGHT("running a server connection callback");
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
    request.environment = ServerEnvironment(request.registryDir);
    request.announceTimeoutMs = AnnounceTimeoutMs();
    std::int64_t const ticket = gNextTicket.fetch_add(1);
    bool const started = LaunchThreads::Instance().Start(
        [request = std::move(request), callback = std::move(onConnection)] {
            RunConnection(request, callback);
        });
    return started ? ticket : 0;  // without a thread nothing would call back
}

}  // namespace hostlink
