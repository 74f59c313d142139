#include "LibraryPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

extern char** environ;

namespace vireo::test::library {

PeerProcess::PeerProcess(PeerMode mode) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string const path = LIBRARY_PEER_PATH;
    char const* modeText = mode == PeerMode::Shared ? "shared" : "unique";
    char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(modeText), nullptr};
    if (posix_spawn(&mPid, path.c_str(), &actions, nullptr, argv, environ) != 0) {
        mPid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    mToPeer = in[1];
    mFromPeer = out[0];
}

PeerProcess::~PeerProcess() {
    if (mPid > 0) {
        Kill();
    }
    if (mToPeer >= 0) {
        close(mToPeer);
    }
    if (mFromPeer >= 0) {
        close(mFromPeer);
    }
}

bool PeerProcess::WaitReady() {
    if (mPid <= 0) {
        return false;
    }
    pollfd p{mFromPeer, POLLIN, 0};
    if (poll(&p, 1, 20000) != 1) {
        return false;
    }
    char buffer[64] = {};
    ssize_t n = read(mFromPeer, buffer, sizeof buffer - 1);
    return n > 0 && std::strncmp(buffer, "ready 1", 7) == 0;
}

void PeerProcess::Finish() {
    if (mPid <= 0) {
        return;
    }
    close(mToPeer);
    mToPeer = -1;
    int status = 0;
    waitpid(mPid, &status, 0);
    mExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    mPid = -1;
}

void PeerProcess::Kill() {
    if (mPid <= 0) {
        return;
    }
    kill(mPid, SIGKILL);
    int status = 0;
    waitpid(mPid, &status, 0);
    mPid = -1;
}

}  // namespace vireo::test::library
