#pragma once
// A second host process (library_peer) that uses the library through its exports.
#include <sys/types.h>

#include <string>

namespace vireo::test::library {

enum class PeerMode { Shared, Unique };

class PeerProcess {
  public:
    explicit PeerProcess(PeerMode mode);
    ~PeerProcess();
    PeerProcess(PeerProcess const&) = delete;
    PeerProcess& operator=(PeerProcess const&) = delete;

    // Waits (bounded) for the peer to report that its client is connected.
    bool WaitReady();
    // Lets the peer release its client and exit, and waits for it.
    void Finish();
    void Kill();
    int ExitCode() const { return mExitCode; }
    pid_t Pid() const { return mPid; }

  private:
    pid_t mPid = -1;
    int mToPeer = -1;
    int mFromPeer = -1;
    int mExitCode = -1;
};

}  // namespace vireo::test::library
