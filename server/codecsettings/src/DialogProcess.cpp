// Starting a dialog program with posix_spawn.
#include "DialogProcess.h"

#include <array>
#include <cstdlib>

#include "codecsettings/DialogLauncher.h"
#include "codecsettings/DialogProtocol.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

extern char** environ;

namespace vireo::server::codecsettings::detail {

namespace {

constexpr std::size_t kMaxInput = 65536;  // what a fresh pipe holds without a reader

struct Pipe {
    int fds[2] = {-1, -1};
    ~Pipe() {
        for (int& fd : fds) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    bool Make() { return ::pipe2(fds, O_CLOEXEC) == 0; }
    int Take(int end) {
        int const fd = fds[end];
        fds[end] = -1;
        return fd;
    }
};

std::string SystemError(char const* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

}  // namespace

bool StartProgram(std::string const& program, std::vector<std::string> const& arguments,
                  std::vector<std::uint8_t> const& input, StartedProgram& started,
                  std::string& error) {
    if (input.size() > kMaxInput) {
        error = "starting data too large";
        return false;
    }
    Pipe in, out, err;
    if (!in.Make() || !out.Make() || !err.Make()) {
        error = SystemError("pipe", errno);
        return false;
    }
    // The starting data fits a fresh pipe, so it is written before the program starts, and the
    // write end closed: the program reads it to its end and never waits for us.
    std::size_t written = 0;
    while (written < input.size()) {
        ssize_t const n = ::write(in.fds[1], input.data() + written, input.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = SystemError("writing the starting data", errno);
            return false;
        }
        written += std::size_t(n);
    }
    ::close(in.Take(1));

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, in.fds[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out.fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err.fds[1], 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // The server blocks its termination signals in every thread (a signal thread waits for
    // them) and ignores SIGPIPE; the program must be killable and handle its own.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD}) {
        sigaddset(&defaults, sig);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // A process group of its own, so that killing it takes anything it started along.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (auto const& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    pid_t pid = -1;
    int const spawned =
        ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        error = SystemError(("starting " + program).c_str(), spawned);
        return false;
    }

    started = StartedProgram();
    started.pid = pid;
    started.output = out.Take(0);
    started.errors = err.Take(0);
    ::fcntl(started.output, F_SETFL, ::fcntl(started.output, F_GETFL) | O_NONBLOCK);
    ::fcntl(started.errors, F_SETFL, ::fcntl(started.errors, F_GETFL) | O_NONBLOCK);
#ifdef SYS_pidfd_open
    long const pidfd = ::syscall(SYS_pidfd_open, pid, 0);
    started.exitWatch = pidfd >= 0 ? int(pidfd) : -1;
    if (started.exitWatch >= 0) {
        ::fcntl(started.exitWatch, F_SETFD, FD_CLOEXEC);
    }
#endif
    return true;
}

std::string DescribeExit(int status) {
    if (WIFEXITED(status)) {
        return "exit status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        int const sig = WTERMSIG(status);
        char const* name = ::sigabbrev_np(sig);
        return "killed by signal " + std::to_string(sig) +
               (name ? " (SIG" + std::string(name) + ")" : std::string());
    }
    return "wait status " + std::to_string(status);
}

}  // namespace vireo::server::codecsettings::detail

namespace vireo::server::codecsettings {

std::string DefaultDialogProgram() {
    char const* chosen = std::getenv("VIREO_CODEC_SETTINGS_PROGRAM");
    if (chosen != nullptr && *chosen != '\0') {
        return chosen;
    }
    std::array<char, 4096> path{};
    ssize_t const n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    std::string directory = ".";
    if (n > 0) {
        std::string const self(path.data(), std::size_t(n));
        std::size_t const slash = self.rfind('/');
        directory = slash == 0 ? "/" : self.substr(0, slash);
    }
    std::string const beside = directory + "/" + protocol::kProgramName;
    std::string const libexec = directory + "/../libexec/vireo/" + protocol::kProgramName;
    for (auto const& candidate : {beside, libexec}) {
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return beside;
}

}  // namespace vireo::server::codecsettings
