// Watching one running dialog program.
#include "DialogProgram.h"

#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/buffer.hpp>
#include <cerrno>
#include <csignal>

#include "DialogOutput.h"
#include "codecsettings/DialogProtocol.h"

namespace vireo::server::codecsettings::detail {

namespace {

namespace asio = boost::asio;

constexpr std::size_t kErrorTailBytes = 600;                // of standard error, in reasons
constexpr auto kExitPoll = std::chrono::milliseconds(100);  // where pidfds are missing

DialogOutcome Cancelled(std::string reason) {
    DialogOutcome outcome;
    outcome.reason = std::move(reason);
    return outcome;
}

}  // namespace

DialogProgram::DialogProgram(asio::io_context& io, std::uint32_t codec, Timing timing,
                             Events events)
    : mCodec(codec),
      mTiming(timing),
      mEvents(std::move(events)),
      mOutput(io),
      mErrors(io),
      mExitWatch(io),
      mStartTimer(io),
      mGraceTimer(io),
      mPollTimer(io) {}

void DialogProgram::Watch(StartedProgram const& started) {
    mPid = started.pid;
    mOutput.assign(started.output);
    mErrors.assign(started.errors);
    ReadOutput();
    ReadErrors();
    if (started.exitWatch >= 0) {
        mExitWatch.assign(started.exitWatch);
        WatchExit();
    } else {
        PollExit();
    }
    mStartTimer.expires_after(mTiming.startTimeout);
    mStartTimer.async_wait([self = shared_from_this()](boost::system::error_code ec) {
        if (ec || self->mReleased || self->mReady || self->mAnswered) {
            return;
        }
        self->Answer(Cancelled("the dialog program showed no window within " +
                               std::to_string(self->mTiming.startTimeout.count()) + " ms" +
                               self->ErrorTail()));
        self->Kill();
    });
}

void DialogProgram::Raise() {
    if (mAnswered || mExited) {
        return;
    }
    if (mReady) {
        // Only after "ready": before the program handles the signal it would end it.
        ::kill(mPid, protocol::kRaiseSignal);
    } else {
        mRaisePending = true;
    }
}

void DialogProgram::Close(std::string const& reason) {
    Answer(Cancelled(reason));
    Kill();
}

void DialogProgram::Stop(std::string const& reason) {
    Close(reason);
    if (!mExited) {
        int status = 0;
        while (::waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
        }
        mExited = true;
    }
    Release();
}

// Output ----------------------------------------------------------------------------------------

void DialogProgram::ReadOutput() {
    mOutput.async_read_some(
        asio::buffer(mOutputBuffer),
        [self = shared_from_this()](boost::system::error_code ec, std::size_t n) {
            if (self->mReleased) {
                return;
            }
            if (n > 0) {
                self->OnOutput(n);
            }
            if (ec) {
                self->mOutputClosed = true;
                if (self->mExited) {
                    self->Finish();
                } else if (!self->mAnswered) {
                    self->StartGrace();  // closed without an answer: it should be exiting
                }
                return;
            }
            self->ReadOutput();
        });
}

void DialogProgram::OnOutput(std::size_t n) {
    if (mAnswered) {
        return;  // drained, so that the program never blocks on a full pipe
    }
    mOutputBytes += n;
    if (mOutputBytes > protocol::kMaxOutputBytes) {
        return Garbage("more than " + std::to_string(protocol::kMaxOutputBytes) +
                       " bytes of output");
    }
    mPending.append(mOutputBuffer.data(), n);
    while (!mAnswered) {
        OutputMessage message = NextMessage(mPending, mCodec);
        switch (message.kind) {
            case OutputMessage::kNeedMore:
                return;
            case OutputMessage::kReady:
                mReady = true;
                mStartTimer.cancel();
                if (mRaisePending) {
                    mRaisePending = false;
                    Raise();
                }
                break;
            case OutputMessage::kRaised:
                break;
            case OutputMessage::kCancelled:
                Answer(DialogOutcome());
                break;
            case OutputMessage::kAccepted: {
                DialogOutcome outcome;
                outcome.accepted = true;
                outcome.privateData = std::move(message.data);
                Answer(outcome);
                break;
            }
            case OutputMessage::kGarbage:
                return Garbage(message.what);
        }
    }
}

void DialogProgram::Garbage(std::string const& what) {
    Answer(Cancelled("the dialog program wrote garbage: " + what));
    Kill();
}

void DialogProgram::ReadErrors() {
    mErrors.async_read_some(
        asio::buffer(mErrorBuffer),
        [self = shared_from_this()](boost::system::error_code ec, std::size_t n) {
            if (self->mReleased) {
                return;
            }
            std::string& tail = self->mErrorTail;
            tail.append(self->mErrorBuffer.data(), n);
            if (tail.size() > kErrorTailBytes) {
                tail.erase(0, tail.size() - kErrorTailBytes);
            }
            if (!ec) {
                self->ReadErrors();
            }
        });
}

std::string DialogProgram::ErrorTail() const {
    std::size_t const first = mErrorTail.find_first_not_of(" \n");
    if (first == std::string::npos) {
        return std::string();
    }
    return "; it said: " + Printable(mErrorTail.substr(first), kErrorTailBytes);
}

// Exit ------------------------------------------------------------------------------------------

void DialogProgram::WatchExit() {
    mExitWatch.async_wait(asio::posix::stream_descriptor::wait_read,
                          [self = shared_from_this()](boost::system::error_code ec) {
                              if (self->mReleased || ec) {
                                  return;
                              }
                              if (!self->Reap()) {
                                  self->WatchExit();
                              }
                          });
}

void DialogProgram::PollExit() {
    mPollTimer.expires_after(kExitPoll);
    mPollTimer.async_wait([self = shared_from_this()](boost::system::error_code ec) {
        if (self->mReleased || ec) {
            return;
        }
        if (!self->Reap()) {
            self->PollExit();
        }
    });
}

// Collects the exit status; false while the program runs.
bool DialogProgram::Reap() {
    int status = 0;
    pid_t const reaped = ::waitpid(mPid, &status, WNOHANG);
    if (reaped == 0 || (reaped < 0 && errno == EINTR)) {
        return false;
    }
    mExited = true;
    mStatus = status;
    if (mOutputClosed) {
        Finish();
    } else {
        StartGrace();  // something it started may still hold the output open
    }
    return true;
}

// When the grace runs out: a program still running is killed (its exit finishes it); one gone
// is finished without waiting any longer for its output to close.
void DialogProgram::StartGrace() {
    mGraceTimer.expires_after(mTiming.exitGrace);
    mGraceTimer.async_wait([self = shared_from_this()](boost::system::error_code ec) {
        if (ec || self->mReleased) {
            return;
        }
        if (!self->mExited) {
            return self->Kill();
        }
        // What it started holds its output open: its process group still exists (so the id
        // names no other group) and goes too.
        if (!self->mOutputClosed) {
            ::kill(-self->mPid, SIGKILL);
        }
        self->Finish();
    });
}

void DialogProgram::Finish() {
    if (mReleased) {
        return;
    }
    if (!mAnswered) {
        Answer(Cancelled("the dialog program ended (" + DescribeExit(mStatus) +
                         ") without answering" + ErrorTail()));
    }
    Release();
    if (mEvents.gone) {
        mEvents.gone();
    }
}

void DialogProgram::Release() {
    mReleased = true;
    boost::system::error_code ignored;
    mStartTimer.cancel();
    mGraceTimer.cancel();
    mPollTimer.cancel();
    mOutput.close(ignored);
    mErrors.close(ignored);
    mExitWatch.close(ignored);
}

void DialogProgram::Kill() {
    // The program is not collected before mExited is set, so its id (and its process group, which
    // it leads) names no other process; the group takes along anything it started.
    if (!mExited && !mKilled) {
        mKilled = true;
        if (::kill(-mPid, SIGKILL) != 0) {
            ::kill(mPid, SIGKILL);
        }
    }
}

void DialogProgram::Answer(DialogOutcome const& outcome) {
    if (mAnswered) {
        return;
    }
    mAnswered = true;
    mStartTimer.cancel();
    if (mEvents.answered) {
        mEvents.answered(outcome);
    }
    if (!mExited && !mReleased) {
        StartGrace();
    }
}

}  // namespace vireo::server::codecsettings::detail
