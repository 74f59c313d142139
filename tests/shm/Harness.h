#pragma once
// Test harness: a peer process (shm_peer) connected over a real session, and a recorder for
// data notifications.
#include <sys/types.h>

#include <boost/json/object.hpp>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TimeScale.h"
#include "basekit/threads/ThreadRole.h"
#include "basetransport/Session.h"
#include "basetransport/SocketTransport.h"
#include "crossprocess/CrossProcess.h"
#include "crossprocess/Stats.h"

namespace vireo::test::shm {

// How long a test waits for something that must happen (scaled, see TimeScale.h).
std::chrono::milliseconds WaitLimit();

// Path of an executable next to the running test.
std::string SiblingExecutable(const char* name);

// This test process's segment name prefix: each test process sets its own (VIREO_SHM_PREFIX,
// inherited by the peers it starts), so that no test sees or reclaims another's segments.
std::string const& TestPrefix();

// Segment names in /dev/shm that belong to process `pid` (with `prefix`, by default ours).
std::vector<std::string> SegmentsOf(pid_t pid, std::string const& prefix = TestPrefix());

class Peer {
  public:
    Peer() = default;
    ~Peer();
    Peer(Peer const&) = delete;
    Peer& operator=(Peer const&) = delete;

    // Starts shm_peer and connects a session to it. False on any failure. `prefix` non-empty
    // gives the peer another segment name prefix than ours.
    bool Start(std::string const& prefix = std::string());
    basetransport::SessionPtr const& Session() const { return mSession; }
    pid_t Pid() const { return mChild ? mChild->Pid() : -1; }

    // Sends "test.<verb>" with params and a sequence number and waits for its reply (empty
    // object with "timeout": true when none comes within WaitLimit()). The reply comes after
    // everything sent before it on the session, both ways: a flush barrier.
    boost::json::object Call(std::string const& verb, boost::json::object params);
    // Sends "test.<verb>" without waiting.
    void Send(std::string const& verb, boost::json::object params);
    // What the peer sent with "test.<verb>" (not replies), in order of arrival.
    std::vector<boost::json::object> Received(std::string const& verb);
    bool WaitReceived(std::string const& verb, std::size_t count);
    // Runs on a transport thread for each "test.want" the peer sends (the peer as reader).
    void OnWant(std::function<void(boost::json::object const&)> handler);

    void Kill();  // SIGKILL, then reap
    // Asks the peer to exit, then reaps it (kills it when it does not). True when it exited on
    // its own with status 0.
    bool Exit();

    // The peer's segment and lease counts (the other fields are left at their defaults).
    crossprocess::Stats RemoteStats();

  private:
    // What the session's handler reaches; it may outlive the Peer by a late message.
    struct Inbox {
        std::mutex mutex;
        std::condition_variable arrived;
        std::uint64_t nextSeq = 0;
        std::vector<boost::json::object> messages;
        std::function<void(boost::json::object const&)> onWant;
        void OnMessage(boost::json::object const& message);
    };

    std::unique_ptr<vireo::test::ChildProcess> mChild;
    boost::shared_ptr<basetransport::SocketTransport> mTransport;
    basetransport::SessionPtr mSession;
    std::shared_ptr<Inbox> mInbox = std::make_shared<Inbox>();
};

// Records the deliveries of one data notification.
// The handler it makes may outlive the waiter.
class Waiter {
  public:
    Waiter();
    // A handler that records its calls; the caller's thread counts as the registering thread.
    crossprocess::DataHandler Handler();
    // Waits until the handler ran (true) or WaitLimit() passed (false).
    bool Wait();
    int Count() { return Last().count; }
    long Status() { return Last().status; }
    crossprocess::BinaryReferencePtr Ref() { return Last().ref; }
    bool RanOnRegisteringThread() { return Last().onRegistering; }
    // The role of the thread the handler ran on.
    basekit::threads::ThreadRole Role() { return Last().role; }
    void Reset();  // drops the reference it kept

  private:
    // What the handler's calls left, the last call's status, reference and thread.
    struct Delivery {
        int count = 0;
        long status = 1;
        crossprocess::BinaryReferencePtr ref;
        bool onRegistering = false;
        basekit::threads::ThreadRole role = basekit::threads::ThreadRole::kOther;
    };
    Delivery Last();
    struct State {
        std::mutex mutex;
        std::condition_variable done;
        Delivery last;
        std::thread::id registering;
    };
    std::shared_ptr<State> mState;
};

}  // namespace vireo::test::shm
