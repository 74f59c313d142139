// posix_spawn of server processes and their reaper threads.
#include "Spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

extern char** environ;

namespace hostlink {
namespace detail {

ChildWatch::ChildWatch(pid_t pid) : mPid(pid) {
    mEventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

ChildWatch::~ChildWatch() {
    if (mEventFd >= 0) {
        ::close(mEventFd);
    }
}

void ChildWatch::Reap() {
    int status = 0;
    while (::waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
    }
    mExited.store(true, std::memory_order_release);
    if (mEventFd >= 0) {
        std::uint64_t one = 1;
        (void)!::write(mEventFd, &one, sizeof one);
    }
}

namespace {

bool ServerLogEnabled(std::vector<std::string> const& environment) {
    for (auto const& variable : environment) {
        if (variable == "VIREO_SERVER_LOG=1") {
            return true;
        }
    }
    return false;
}

// Frees posix_spawn's structures on every path.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool actionsMade = false;
    bool attributesMade = false;
    ~SpawnSetup() {
        if (actionsMade) {
            posix_spawn_file_actions_destroy(&actions);
        }
        if (attributesMade) {
            posix_spawnattr_destroy(&attributes);
        }
    }
};

}  // namespace

std::shared_ptr<ChildWatch> SpawnServer(std::string const& executable,
                                        std::vector<std::string> const& arguments,
                                        std::vector<std::string> const& environment,
                                        std::string& error) {
    SpawnSetup setup;
    if (posix_spawn_file_actions_init(&setup.actions) != 0) {
        error = "posix_spawn_file_actions_init failed";
        return nullptr;
    }
    setup.actionsMade = true;
    if (posix_spawnattr_init(&setup.attributes) != 0) {
        error = "posix_spawnattr_init failed";
        return nullptr;
    }
    setup.attributesMade = true;

    bool const log = ServerLogEnabled(environment);
    int rc = posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0 && !log) {
        rc = posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0);
    }
    if (rc == 0 && !log) {
        rc = posix_spawn_file_actions_adddup2(&setup.actions, 1, 2);
    }
    // Every other descriptor of ours (sockets, pipes of the caller, files opened without
    // close-on-exec by other libraries) stays out of the server.
    if (rc == 0) {
        rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
    }
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    if (rc == 0) {
        rc = posix_spawnattr_setsigmask(&setup.attributes, &none);
    }
    if (rc == 0) {
        rc = posix_spawnattr_setsigdefault(&setup.attributes, &all);
    }
    if (rc == 0) {
        rc = posix_spawnattr_setflags(&setup.attributes,
                                      POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    if (rc != 0) {
        error = std::string("cannot prepare the server's start: ") + std::strerror(rc);
        return nullptr;
    }

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (auto const& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (auto const& variable : environment) {
        envp.push_back(const_cast<char*>(variable.c_str()));
    }
    envp.push_back(nullptr);

    pid_t pid = 0;
    rc = ::posix_spawn(&pid, executable.c_str(), &setup.actions, &setup.attributes, argv.data(),
                       envp.data());
    if (rc != 0) {
        error = "cannot start " + executable + ": " + std::strerror(rc);
        return nullptr;
    }
    auto watch = std::make_shared<ChildWatch>(pid);
    try {
        // The watchdog described in Spawn.h: deliberately detached.
        std::thread([watch] { watch->Reap(); }).detach();
    } catch (std::system_error const& failure) {
        // Nothing would notice the child's end: do not keep it.
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        error = std::string("cannot watch the server: ") + failure.what();
        return nullptr;
    }
    return watch;
}

std::vector<std::string> CopyEnvironment() {
    std::vector<std::string> copy;
    for (char** variable = environ; variable && *variable; ++variable) {
        copy.emplace_back(*variable);
    }
    return copy;
}

}  // namespace detail
}  // namespace hostlink
