#pragma once
// When a server process ends.
//
// A shared server (any name but a private one) ends when it has had no session for the idle
// grace after its last session ended, or when no session came at all within the first-session
// time after it announced itself. It retires under the name's start-up lock (see
// hostlink::server::WithdrawIfIdle), then stays a short moment for sessions already on their
// way.
// A private server (named "corvidhost VireoServer <suffix>") ends when its session ends, when no
// session came within the first-session time, and when the process that started it ends, even
// before any session.
// Every server ends on SIGTERM, SIGINT or SIGHUP.
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace vireo::server {

constexpr char kServerBaseName[] = "corvidhost VireoServer";

// True for "corvidhost VireoServer" followed by a space and a non-empty suffix.
bool IsPrivateServerName(std::string const& name);

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread (and so in every thread it starts
// afterwards). The lifetime takes them through a signalfd, which only works when every thread
// blocks them: a server calls this first thing in main, before any thread exists.
void BlockTerminationSignals();

struct LifetimeRules {
    bool isPrivate = false;
    int idleMs = 3000;
    int firstSessionMs = 30000;
    int retireLingerMs = 250;
    std::int64_t parentPid = 0;  // watched by private servers; 0: none
};

class Lifetime {
  public:
    enum class Reason { SessionsEnded, Idle, NoSession, ParentGone, Signal, AnnounceFailed };

    // Blocks the termination signals in the calling thread, which every thread made afterwards
    // inherits; they are then taken by Run(). Make the Lifetime before any other thread.
    explicit Lifetime(LifetimeRules rules);
    ~Lifetime();
    Lifetime(Lifetime const&) = delete;
    Lifetime& operator=(Lifetime const&) = delete;

    // Any thread.
    void SessionStarted();
    void SessionEnded();

    // Runs on the main thread until the server has to end. `announce` runs once, announceDelayMs
    // after the start (false ends the server); `retire` runs when a shared server has been idle
    // long enough and gets a predicate that tells whether it still is (true: entry withdrawn).
    Reason Run(int announceDelayMs, std::function<bool()> const& announce,
               std::function<bool(std::function<bool()> const& stillIdle)> const& retire);

    static char const* Describe(Reason reason);

  private:
    void Notify();
    bool ParentGone() const;

    LifetimeRules const mRules;
    int mSignalFd = -1;
    int mWakeFd = -1;
    int mParentFd = -1;  // pidfd of the parent, when it could be had

    mutable std::mutex mMutex;  // guards the members below
    std::size_t mOpen = 0;
    std::uint64_t mStarted = 0;  // sessions ever started
    std::chrono::steady_clock::time_point mLastEnd;
};

}  // namespace vireo::server
