#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vireo::test {

using namespace std::chrono;

ChildProcess::ChildProcess(std::vector<std::string> const& args, bool quiet) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (quiet) {
        ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    std::vector<char*> argv;
    for (std::string const& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    int const rc = ::posix_spawnp(&mPid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    mIn = in[1];
    mOut = out[0];
    if (rc != 0) {
        ::close(mIn);
        ::close(mOut);
        throw std::runtime_error("cannot start " + args.front());
    }
}

ChildProcess::~ChildProcess() {
    Kill();
    if (mIn >= 0) {
        ::close(mIn);
    }
    ::close(mOut);
}

bool ChildProcess::ReadLine(std::string& line, milliseconds bound) {
    auto const deadline = steady_clock::now() + bound;
    for (;;) {
        std::size_t const end = mBuffered.find('\n');
        if (end != std::string::npos) {
            line = mBuffered.substr(0, end);
            mBuffered.erase(0, end + 1);
            return true;
        }
        auto const left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        pollfd p{mOut, POLLIN, 0};
        int const ready = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        char chunk[256];
        ssize_t const n = ready > 0 ? ::read(mOut, chunk, sizeof chunk) : 0;
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        mBuffered.append(chunk, static_cast<std::size_t>(n));
    }
}

void ChildProcess::WriteLine(std::string const& line) {
    std::string const text = line + "\n";
    if (::write(mIn, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("cannot write to the child");
    }
}

int ChildProcess::CloseAndWait(milliseconds bound) {
    if (mIn >= 0) {
        ::close(mIn);
        mIn = -1;
    }
    auto const deadline = steady_clock::now() + bound;
    while (mPid > 0) {
        int status = 0;
        pid_t const done = ::waitpid(mPid, &status, WNOHANG);
        if (done == mPid) {
            mPid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if ((done < 0 && errno != EINTR) || steady_clock::now() > deadline) {
            break;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    Kill();
    return -1;
}

void ChildProcess::Kill(int signal) {
    if (mPid > 0) {
        ::kill(mPid, signal);
        while (::waitpid(mPid, nullptr, 0) < 0 && errno == EINTR) {
        }
        mPid = -1;
    }
}

}  // namespace vireo::test
