#pragma once
// A program a test starts as another process, with its standard input and output on pipes.
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace vireo::test {

class ChildProcess {
  public:
    // Starts args[0] (looked up in PATH when it has no '/'); throws when it cannot be started.
    // `quiet` sends its error output to /dev/null.
    explicit ChildProcess(std::vector<std::string> const& args, bool quiet = false);
    ~ChildProcess();  // kills and reaps it if it still runs
    ChildProcess(ChildProcess const&) = delete;
    ChildProcess& operator=(ChildProcess const&) = delete;

    // The next line of its output (without the newline); false at its end or after `bound`.
    bool ReadLine(std::string& line, std::chrono::milliseconds bound);
    void WriteLine(std::string const& line);
    // Closes its input and waits up to `bound` for it to exit: its exit status, or -1 when it
    // was ended by a signal or did not end in time (it is killed then).
    int CloseAndWait(std::chrono::milliseconds bound);
    // Sends `signal` and reaps it.
    void Kill(int signal = SIGKILL);
    pid_t Pid() const { return mPid; }

  private:
    pid_t mPid = -1;
    int mIn = -1;
    int mOut = -1;
    std::string mBuffered;
};

}  // namespace vireo::test
