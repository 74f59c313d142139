#pragma once
// The processes bench_scale starts (itself with --child), and the line protocol they speak on
// their standard input and output. From the child:
//   "ready"                                 every worker opened its movies and read them once
//   "worker FRAMES MICROSECONDS DIGEST..."  after a window, one line per worker
//   "cpu MICROSECONDS"                      processor time of the child in the window
//   "done"                                  the window's report is complete
// From the parent:
//   "go MILLISECONDS"                       start a timed window of that length now
//   "end"                                   exit
//
// A child writes its errors to its standard error (the terminal) and exits with status 1. The
// parent waits for lines with a bound: a child or server that stops ends the run, not the program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "ScaleHosts.h"
#include "basekit/utility/Parse.h"

namespace vireo::bench {

// What the parent learned from one child.
struct ChildReport {
    bool ready = false;
    bool done = false;
    std::vector<WorkerResult> workers;
    double cpuSeconds = 0;
};

class Child {
  public:
    Child() = default;
    Child(Child const&) = delete;
    Child& operator=(Child const&) = delete;
    ~Child() { Kill(); }

    // Starts this program with `arguments` after argv[0]. Only async-signal-safe calls run
    // between fork and exec, so threads of the parent do not matter.
    bool Start(std::vector<std::string> const& arguments) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0) {
            return false;
        }
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return false;
        }
        std::vector<std::string> all{"bench_scale"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : all) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        mPid = ::fork();
        if (mPid == 0) {
            if (::dup2(in[0], 0) < 0 || ::dup2(out[1], 1) < 0) {
                ::_exit(127);
            }
            ::execv("/proc/self/exe", argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        mToChild = in[1];
        mFromChild = out[0];
        if (mPid < 0) {
            Close();
            return false;
        }
        return true;
    }

    pid_t Pid() const { return mPid; }
    int ReadFd() const { return mFromChild; }
    ChildReport const& Report() const { return mReport; }
    std::string const& Error() const { return mError; }

    // Forgets the last window's report, before the next one starts.
    void ResetWindow() {
        mReport.workers.clear();
        mReport.cpuSeconds = 0;
        mReport.done = false;
    }

    bool Send(std::string const& line) {
        std::string const text = line + "\n";
        return mToChild >= 0 &&
               ::write(mToChild, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }

    // Reads what the child wrote (call when its pipe is readable) and takes its lines in.
    // False at the end of its output or on a line that makes no sense.
    bool TakeOutput() {
        char buffer[4096];
        ssize_t const got = ::read(mFromChild, buffer, sizeof buffer);
        if (got <= 0) {
            if (mError.empty() && !mReport.done) {
                mError = "ended before it was done";
            }
            ::close(mFromChild);
            mFromChild = -1;
            return false;
        }
        mPending.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t end; (end = mPending.find('\n')) != std::string::npos;) {
            std::string const line = mPending.substr(0, end);
            mPending.erase(0, end + 1);
            if (!TakeLine(line)) {
                mError = "wrote a line that makes no sense: " + line;
                return false;
            }
        }
        return true;
    }

    // Waits at most `bound` for the child to end after its output ended, then kills it.
    // True when it ended by itself with status 0.
    bool Finish(std::chrono::seconds bound) {
        Close();
        auto const deadline = Clock::now() + bound;
        int status = 0;
        while (mPid > 0) {
            pid_t const ended = ::waitpid(mPid, &status, WNOHANG);
            if (ended == mPid) {
                mPid = -1;
                return WIFEXITED(status) && WEXITSTATUS(status) == 0;
            }
            if (ended < 0 || Clock::now() >= deadline) {
                break;
            }
            ::usleep(10000);
        }
        Kill();
        return false;
    }

    void Kill() {
        Close();
        if (mPid > 0) {
            ::kill(mPid, SIGKILL);
            ::waitpid(mPid, nullptr, 0);
            mPid = -1;
        }
    }

  private:
    void Close() {
        for (int* fd : {&mToChild, &mFromChild}) {
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        }
    }

    bool TakeLine(std::string const& line) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        std::vector<std::uint64_t> values;
        for (std::string word; words >> word;) {
            std::uint64_t value = 0;
            if (!basekit::utility::ParseInteger(word, value)) {
                return false;
            }
            values.push_back(value);
        }
        if (kind == "ready" && values.empty()) {
            mReport.ready = true;
        } else if (kind == "worker" && values.size() >= 2) {
            WorkerResult worker;
            worker.frames = static_cast<std::int64_t>(values[0]);
            worker.seconds = double(values[1]) / 1e6;
            worker.digests.assign(values.begin() + 2, values.end());
            mReport.workers.push_back(std::move(worker));
        } else if (kind == "cpu" && values.size() == 1) {
            mReport.cpuSeconds = double(values[0]) / 1e6;
        } else if (kind == "done" && values.empty()) {
            mReport.done = true;
        } else {
            return false;
        }
        return true;
    }

    pid_t mPid = -1;
    int mToChild = -1;
    int mFromChild = -1;
    std::string mPending;
    ChildReport mReport;
    std::string mError;
};

// Waits until every child has `reached` its report (ready, or done) or the bound passes,
// calling `tick` about every second. A child that ends or writes nonsense, or a `tick` that
// returns an error, ends the wait. Returns an empty string or what went wrong.
inline std::string WaitForChildren(std::vector<std::unique_ptr<Child>>& children,
                                   bool ChildReport::*reached, std::chrono::seconds bound,
                                   std::function<std::string()> const& tick) {
    auto const deadline = Clock::now() + bound;
    auto nextTick = Clock::now();
    for (;;) {
        std::vector<pollfd> waiting;
        std::vector<Child*> owners;
        for (auto& child : children) {
            if (!(child->Report().*reached)) {
                if (child->ReadFd() < 0) {
                    return "child " + std::to_string(child->Pid()) + " " + child->Error();
                }
                waiting.push_back({child->ReadFd(), POLLIN, 0});
                owners.push_back(child.get());
            }
        }
        if (Clock::now() >= nextTick) {
            nextTick += std::chrono::seconds(1);
            std::string const error = tick ? tick() : std::string();
            if (!error.empty()) {
                return error;
            }
        }
        if (waiting.empty()) {
            return {};
        }
        if (Clock::now() >= deadline) {
            return "a child did not answer within " + std::to_string(bound.count()) + " s";
        }
        auto const wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::min(nextTick, deadline) - Clock::now());
        int const ready = ::poll(waiting.data(), waiting.size(),
                                 static_cast<int>(std::max<std::int64_t>(0, wait.count())) + 1);
        for (std::size_t i = 0; ready > 0 && i < waiting.size(); ++i) {
            if (waiting[i].revents != 0 && !owners[i]->TakeOutput()) {
                if (!(owners[i]->Report().*reached)) {
                    return "child " + std::to_string(owners[i]->Pid()) + " " + owners[i]->Error();
                }
            }
        }
    }
}

// One variant's processes and what they reported.
struct Variant {
    explicit Variant(std::string variantName) : name(std::move(variantName)) {}

    std::string name;
    std::vector<std::unique_ptr<Child>> children;
    std::vector<std::string> labels;  // per child
    // Summed over the timed windows:
    std::int64_t frames = 0;
    double seconds = 0;                  // wall time
    double frameSeconds = 0;             // each window's aggregate frames/s times its wall time
    std::vector<double> cpu;             // processor seconds per child
    Usage server;                        // processor time of the server
    std::vector<std::uint64_t> digests;  // per movie, as every worker reported them
    bool digestsAgree = true;

    double Rate() const { return seconds > 0 ? frameSeconds / seconds : 0; }

    // Adds the reports of a window of `wall` seconds.
    void TakeWindow(double wall) {
        double rate = 0;
        cpu.resize(children.size());
        for (std::size_t i = 0; i < children.size(); ++i) {
            ChildReport const& report = children[i]->Report();
            cpu[i] += report.cpuSeconds;
            for (WorkerResult const& worker : report.workers) {
                frames += worker.frames;
                rate += worker.seconds > 0 ? double(worker.frames) / worker.seconds : 0;
                if (digests.empty()) {
                    digests = worker.digests;
                }
                digestsAgree = digestsAgree && worker.digests == digests;
            }
        }
        seconds += wall;
        frameSeconds += rate * wall;
    }
};

}  // namespace vireo::bench
