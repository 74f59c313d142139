#include "Lifetime.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Log.h"
#include "basekit/utility/Process.h"
#include "hostlink/Registry.h"

namespace vireo::server {

namespace {

using Clock = std::chrono::steady_clock;

// Without a pidfd the parent is looked at this often.
constexpr int kParentPollMs = 200;
// A retirement that could not take the lock is tried again after this long.
constexpr int kRetireRetryMs = 200;

sigset_t TerminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

int MsUntil(Clock::time_point when, Clock::time_point now) {
    if (when <= now) {
        return 0;
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count() + 1;
    return static_cast<int>(std::min<long long>(ms, 60000));
}

}  // namespace

void BlockTerminationSignals() {
    sigset_t signals = TerminationSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

bool IsPrivateServerName(std::string const& name) {
    std::string const prefix = std::string(kServerBaseName) + " ";
    return name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0;
}

Lifetime::Lifetime(LifetimeRules rules) : mRules(rules) {
    BlockTerminationSignals();
    sigset_t signals = TerminationSignals();
    mSignalFd = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    // Writing to a session whose client vanished must not kill the server.
    ::signal(SIGPIPE, SIG_IGN);
    mWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (mRules.isPrivate && mRules.parentPid > 0) {
        mParentFd = static_cast<int>(::syscall(SYS_pidfd_open, mRules.parentPid, 0));
    }
}

Lifetime::~Lifetime() {
    for (int fd : {mSignalFd, mWakeFd, mParentFd}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void Lifetime::SessionStarted() {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        ++mOpen;
        ++mStarted;
    }
    Notify();
}

void Lifetime::SessionEnded() {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mOpen > 0) {
            --mOpen;
        }
        mLastEnd = Clock::now();
    }
    Notify();
}

void Lifetime::Notify() {
    if (mWakeFd >= 0) {
        std::uint64_t one = 1;
        (void)!::write(mWakeFd, &one, sizeof one);
    }
}

bool Lifetime::ParentGone() const {
    if (!mRules.isPrivate || mRules.parentPid <= 0) {
        return false;
    }
    if (mParentFd >= 0) {
        pollfd pfd{mParentFd, POLLIN, 0};
        return ::poll(&pfd, 1, 0) == 1;
    }
    return !basekit::utility::IsProcessAlive(mRules.parentPid);
}

Lifetime::Reason Lifetime::Run(
    int announceDelayMs, std::function<bool()> const& announce,
    std::function<bool(std::function<bool()> const& stillIdle)> const& retire) {
    auto const announceAt = Clock::now() + std::chrono::milliseconds(announceDelayMs);
    bool announced = false;
    Clock::time_point announcedAt;
    bool retiring = false;
    Clock::time_point lingerUntil;
    Clock::time_point retryAt;

    for (;;) {
        if (mSignalFd >= 0) {
            signalfd_siginfo info{};
            if (::read(mSignalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                Log("signal %u", info.ssi_signo);
                return Reason::Signal;
            }
        }
        if (mWakeFd >= 0) {
            std::uint64_t count = 0;
            (void)!::read(mWakeFd, &count, sizeof count);
        }
        if (ParentGone()) {
            return Reason::ParentGone;
        }

        std::size_t open;
        std::uint64_t started;
        Clock::time_point lastEnd;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            open = mOpen;
            started = mStarted;
            lastEnd = mLastEnd;
        }
        auto const now = Clock::now();
        int timeoutMs = -1;

        if (!announced) {
            if (now >= announceAt) {
                if (!announce()) {
                    return Reason::AnnounceFailed;
                }
                announced = true;
                announcedAt = Clock::now();
                continue;
            }
            timeoutMs = MsUntil(announceAt, now);
        } else if (retiring) {
            if (open == 0) {
                if (now >= lingerUntil) {
                    return Reason::Idle;
                }
                timeoutMs = MsUntil(lingerUntil, now);
            }
        } else if (open == 0) {
            if (mRules.isPrivate && started > 0) {
                return Reason::SessionsEnded;
            }
            auto deadline = started == 0
                                ? announcedAt + std::chrono::milliseconds(mRules.firstSessionMs)
                                : lastEnd + std::chrono::milliseconds(mRules.idleMs);
            deadline = std::max(deadline, retryAt);
            if (now >= deadline) {
                if (mRules.isPrivate) {
                    return Reason::NoSession;
                }
                auto stillIdle = [this, started] {
                    std::lock_guard<std::mutex> lock(mMutex);
                    return mOpen == 0 && mStarted == started;
                };
                if (retire(stillIdle)) {
                    retiring = true;
                    lingerUntil = Clock::now() + std::chrono::milliseconds(mRules.retireLingerMs);
                } else {
                    retryAt = Clock::now() + std::chrono::milliseconds(kRetireRetryMs);
                }
                continue;
            }
            timeoutMs = MsUntil(deadline, now);
        }

        if (mRules.isPrivate && mRules.parentPid > 0 && mParentFd < 0) {
            timeoutMs = timeoutMs < 0 ? kParentPollMs : std::min(timeoutMs, kParentPollMs);
        }
        pollfd fds[3] = {{mSignalFd, POLLIN, 0}, {mWakeFd, POLLIN, 0}, {mParentFd, POLLIN, 0}};
        ::poll(fds, 3, timeoutMs);
    }
}

char const* Lifetime::Describe(Reason reason) {
    switch (reason) {
        case Reason::SessionsEnded:
            return "its session ended";
        case Reason::Idle:
            return "idle";
        case Reason::NoSession:
            return "no session came";
        case Reason::ParentGone:
            return "the process that started it ended";
        case Reason::Signal:
            return "signal";
        case Reason::AnnounceFailed:
            return "it could not announce itself";
    }
    return "?";
}

}  // namespace vireo::server
