#pragma once
// Starting a server process and reaping it.
#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace hostlink {
namespace detail {

// Shared between a reaper thread and whoever watches the child: `exited` turns true and the
// eventfd becomes readable when the child has ended and been reaped.
class ChildWatch {
  public:
    explicit ChildWatch(pid_t pid);
    ~ChildWatch();
    ChildWatch(ChildWatch const&) = delete;
    ChildWatch& operator=(ChildWatch const&) = delete;

    pid_t Pid() const { return mPid; }
    bool HasExited() const { return mExited.load(std::memory_order_acquire); }
    // Readable once the child has exited (-1 if no eventfd could be made; then poll HasExited).
    int ExitEventFd() const { return mEventFd; }

    // Runs on the reaper thread: waits for the child, then signals.
    void Reap();

  private:
    pid_t const mPid;
    int mEventFd = -1;
    std::atomic<bool> mExited{false};
};

// Starts `executable` with `arguments` (argv[1..]) and `environment`. The child gets /dev/null as
// standard input, and as standard output and error too unless VIREO_SERVER_LOG=1; it inherits no
// other file descriptor, default signal dispositions and an empty signal mask. A reaper thread
// waits for it, so it never lingers as a zombie. The reaper is a watchdog: it does nothing but
// wait for the child to end, lives exactly as long as the child, and is detached because nothing
// may wait for a server to end (a shared server outlives the request that started it). Empty on
// failure.
std::shared_ptr<ChildWatch> SpawnServer(std::string const& executable,
                                        std::vector<std::string> const& arguments,
                                        std::vector<std::string> const& environment,
                                        std::string& error);

// A copy of this process's environment ("NAME=value" each).
std::vector<std::string> CopyEnvironment();

}  // namespace detail
}  // namespace hostlink
