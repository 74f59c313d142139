#pragma once
// One running dialog program, watched on the launcher's thread: its answer on standard output,
// its last words on standard error, its exit, and its time limits.
//
// Threads: every member is called on the launcher's thread (the io_context's only thread), and
// the events run there.
#include <sys/types.h>

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "DialogProcess.h"
#include "codecsettings/DialogLauncher.h"

namespace vireo::server::codecsettings::detail {

class DialogProgram : public std::enable_shared_from_this<DialogProgram> {
  public:
    struct Timing {
        std::chrono::milliseconds startTimeout;  // to write "ready"
        std::chrono::milliseconds exitGrace;     // to exit after answering or closing its output
    };
    struct Events {
        // Exactly once: the answer, or a cancellation with its reason.
        std::function<void(DialogOutcome const&)> answered;
        // Once, after `answered`, when the program is gone and collected (not after Stop).
        std::function<void()> gone;
    };

    DialogProgram(boost::asio::io_context& io, std::uint32_t codec, Timing timing, Events events);

    // Takes over a started program and watches it.
    void Watch(StartedProgram const& started);

    // Raises the window, now when the program is ready for it, else once it is.
    void Raise();
    // Answers cancelled with `reason` (unless answered already) and kills the program.
    void Close(std::string const& reason);
    // The same, then waits for the program to be gone; `gone` does not run.
    void Stop(std::string const& reason);

    pid_t Pid() const { return mPid; }
    bool Answered() const { return mAnswered; }

  private:
    void ReadOutput();
    void OnOutput(std::size_t n);
    void ReadErrors();
    void WatchExit();
    void PollExit();
    bool Reap();
    void StartGrace();
    void Finish();
    void Release();
    void Kill();
    void Garbage(std::string const& what);
    void Answer(DialogOutcome const& outcome);
    std::string ErrorTail() const;

    std::uint32_t mCodec;
    Timing mTiming;
    Events mEvents;
    pid_t mPid = -1;
    boost::asio::posix::stream_descriptor mOutput, mErrors, mExitWatch;
    boost::asio::steady_timer mStartTimer, mGraceTimer, mPollTimer;
    std::array<char, 4096> mOutputBuffer{};
    std::array<char, 1024> mErrorBuffer{};
    std::string mPending;  // output not read as a message yet
    std::size_t mOutputBytes = 0;
    std::string mErrorTail;
    int mStatus = 0;
    bool mReady = false, mRaisePending = false, mAnswered = false, mKilled = false, mExited = false,
         mOutputClosed = false, mReleased = false;
};

}  // namespace vireo::server::codecsettings::detail
