// The settings dialog launcher: one dialog program per request, watched on the launcher's thread.
#include "codecsettings/DialogLauncher.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "DialogOutput.h"
#include "DialogProcess.h"
#include "basekit/debug/Failure.h"
#include "basekit/threads/ThreadRole.h"
#include "codecsettings/DialogProtocol.h"
#include "engine/FourCC.h"
#include "export/Catalogue.h"
#include "export/CodecSettings.h"

namespace vireo::server::codecsettings {

namespace {

namespace asio = boost::asio;
namespace ex = vireo::server::exporting;

constexpr std::size_t kErrorTailBytes = 600;  // of its standard error, quoted in reasons
constexpr auto kExitPoll = std::chrono::milliseconds(100);  // where pidfds are missing

struct Dialog {
    explicit Dialog(asio::io_context& io)
        : output(io), errors(io), exitWatch(io), startTimer(io), graceTimer(io), pollTimer(io) {}

    SessionKey session = 0;
    std::uint32_t codec = 0;
    pid_t pid = -1;
    asio::posix::stream_descriptor output, errors, exitWatch;
    asio::steady_timer startTimer, graceTimer, pollTimer;
    std::array<char, 4096> outputBuffer{};
    std::array<char, 1024> errorBuffer{};
    std::string pending;  // output not parsed yet
    std::size_t outputBytes = 0;
    std::string errorTail;
    DialogLauncher::Callback done;
    bool ready = false, raisePending = false, answered = false, killed = false, exited = false,
         outputClosed = false, closed = false;
    int status = 0;
};
using DialogPtr = std::shared_ptr<Dialog>;

DialogOutcome Cancelled(std::string reason) {
    DialogOutcome outcome;
    outcome.reason = std::move(reason);
    return outcome;
}

bool HasDisplay() {
    for (char const* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        char const* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

}  // namespace

class DialogLauncher::Impl {
  public:
    explicit Impl(LauncherOptions options)
        : mOptions(std::move(options)), mWork(asio::make_work_guard(mIo)) {
        if (mOptions.program.empty()) {
            mOptions.program = DefaultDialogProgram();
        }
        mThread = std::thread([this] { Run(); });
    }

    ~Impl() {
        std::promise<void> stopped;
        asio::post(mIo, [this, &stopped] {
            Shutdown();
            stopped.set_value();
        });
        stopped.get_future().wait();
        mWork.reset();
        mThread.join();
    }

    void Show(SessionKey session, std::uint32_t codec, std::vector<std::uint8_t> startData,
              Callback done) {
        asio::post(mIo, [this, session, codec, data = std::move(startData),
                         done = std::move(done)]() mutable {
            Start(session, codec, std::move(data), std::move(done));
        });
    }

    void BringToForeground(SessionKey session) {
        asio::post(mIo, [this, session] {
            if (DialogPtr dialog = OpenDialog(session)) {
                Raise(dialog);
            }
        });
    }

    void EndSession(SessionKey session) {
        asio::post(mIo, [this, session] {
            for (auto const& dialog : Snapshot()) {
                if (dialog->session == session) {
                    Answer(dialog, Cancelled("its session ended"));
                    Kill(dialog);
                }
            }
        });
    }

    std::int64_t DialogProcessId(SessionKey session) const {
        std::lock_guard<std::mutex> lock(mIndexLock);
        auto found = mOpenBySession.find(session);
        return found != mOpenBySession.end() ? found->second : 0;
    }

    std::size_t RunningPrograms() const {
        std::lock_guard<std::mutex> lock(mIndexLock);
        return mRunning;
    }

  private:
    void Run() {
        basekit::threads::ScopedThreadRole role(basekit::threads::ThreadRole::kDelivery);
        for (;;) {
            try {
                mIo.run();
                return;
            } catch (...) {
                BASEKIT_REPORT_CAUGHT("running the codec settings dialog launcher");
            }
        }
    }

    void Start(SessionKey session, std::uint32_t codec, std::vector<std::uint8_t> data,
               Callback done) {
        std::string const name = engine::FourCCToString(codec);
        if (mStopping) {
            return Deliver(done, Cancelled("the server is stopping"));
        }
        if (DialogPtr open = OpenDialog(session)) {
            Raise(open);
            return Deliver(done, Cancelled("a settings dialog is open already for this session "
                                           "(raised instead)"));
        }
        if (ex::CodecOptions(codec).empty()) {
            return Deliver(done, Cancelled("codec '" + name + "' has no settings dialog"));
        }
        if (!HasDisplay()) {
            return Deliver(done,
                           Cancelled("no display: neither DISPLAY nor WAYLAND_DISPLAY is set"));
        }
        if (::access(mOptions.program.c_str(), X_OK) != 0) {
            return Deliver(done, Cancelled("the dialog program " + mOptions.program +
                                           " cannot be run: " + std::strerror(errno)));
        }
        if (mDialogs.size() >= mOptions.maxDialogs) {
            return Deliver(done, Cancelled(std::to_string(mDialogs.size()) +
                                           " dialog programs are running already"));
        }
        if (data.size() > protocol::kMaxInputBytes) {
            Diagnose("codec settings dialog: starting data of " + std::to_string(data.size()) +
                     " bytes not passed on; the dialog starts from the defaults");
            data.clear();
        }

        detail::StartedProgram started;
        std::string error;
        std::vector<std::string> arguments = {"--codec", name, "--parent-pid",
                                              std::to_string(::getpid())};
        std::string const title = ex::CodecName(codec);
        if (!title.empty()) {
            arguments.insert(arguments.end(), {"--name", title});
        }
        if (!detail::StartProgram(mOptions.program, arguments, data, started, error)) {
            return Deliver(done, Cancelled(error));
        }

        auto dialog = std::make_shared<Dialog>(mIo);
        dialog->session = session;
        dialog->codec = codec;
        dialog->pid = started.pid;
        dialog->done = std::move(done);
        dialog->output.assign(started.output);
        dialog->errors.assign(started.errors);
        mDialogs.push_back(dialog);
        UpdateIndex();

        ReadOutput(dialog);
        ReadErrors(dialog);
        if (started.exitWatch >= 0) {
            dialog->exitWatch.assign(started.exitWatch);
            WatchExit(dialog);
        } else {
            PollExit(dialog);
        }
        dialog->startTimer.expires_after(mOptions.startTimeout);
        dialog->startTimer.async_wait([this, dialog](boost::system::error_code ec) {
            if (ec || dialog->closed || dialog->ready || dialog->answered) {
                return;
            }
            Answer(dialog, Cancelled("the dialog program showed no window within " +
                                     std::to_string(mOptions.startTimeout.count()) + " ms" +
                                     ErrorTail(*dialog)));
            Kill(dialog);
        });
    }

    // Output ----------------------------------------------------------------------------------

    void ReadOutput(DialogPtr const& dialog) {
        dialog->output.async_read_some(asio::buffer(dialog->outputBuffer),
                                       [this, dialog](boost::system::error_code ec, std::size_t n) {
                                           if (dialog->closed) {
                                               return;
                                           }
                                           if (n > 0) {
                                               OnOutput(dialog, n);
                                           }
                                           if (ec) {
                                               dialog->outputClosed = true;
                                               if (dialog->exited) {
                                                   Finish(dialog);
                                               } else if (!dialog->answered) {
                                                   // Closed without an answer: it should be
                                                   // exiting.
                                                   StartGrace(dialog);
                                               }
                                               return;
                                           }
                                           ReadOutput(dialog);
                                       });
    }

    void OnOutput(DialogPtr const& dialog, std::size_t n) {
        if (dialog->answered) {
            return;  // drained, so that the program never blocks on a full pipe
        }
        dialog->outputBytes += n;
        if (dialog->outputBytes > protocol::kMaxOutputBytes) {
            return Garbage(dialog, "more than " + std::to_string(protocol::kMaxOutputBytes) +
                                       " bytes of output");
        }
        dialog->pending.append(dialog->outputBuffer.data(), n);
        Parse(dialog);
    }

    void Parse(DialogPtr const& dialog) {
        while (!dialog->answered) {
            detail::OutputMessage message = detail::NextMessage(dialog->pending, dialog->codec);
            switch (message.kind) {
                case detail::OutputMessage::kNeedMore:
                    return;
                case detail::OutputMessage::kReady:
                    OnReady(dialog);
                    break;
                case detail::OutputMessage::kRaised:
                    break;
                case detail::OutputMessage::kCancelled:
                    Answer(dialog, DialogOutcome());
                    break;
                case detail::OutputMessage::kAccepted: {
                    DialogOutcome outcome;
                    outcome.accepted = true;
                    outcome.privateData = std::move(message.data);
                    Answer(dialog, outcome);
                    break;
                }
                case detail::OutputMessage::kGarbage:
                    return Garbage(dialog, message.what);
            }
        }
    }

    void OnReady(DialogPtr const& dialog) {
        dialog->ready = true;
        dialog->startTimer.cancel();
        if (dialog->raisePending) {
            dialog->raisePending = false;
            Raise(dialog);
        }
    }

    void Garbage(DialogPtr const& dialog, std::string const& what) {
        Answer(dialog, Cancelled("the dialog program wrote garbage: " + what));
        Kill(dialog);
    }

    void ReadErrors(DialogPtr const& dialog) {
        dialog->errors.async_read_some(asio::buffer(dialog->errorBuffer),
                                       [this, dialog](boost::system::error_code ec, std::size_t n) {
                                           if (dialog->closed) {
                                               return;
                                           }
                                           std::string& tail = dialog->errorTail;
                                           tail.append(dialog->errorBuffer.data(), n);
                                           if (tail.size() > kErrorTailBytes) {
                                               tail.erase(0, tail.size() - kErrorTailBytes);
                                           }
                                           if (!ec) {
                                               ReadErrors(dialog);
                                           }
                                       });
    }

    static std::string ErrorTail(Dialog const& dialog) {
        std::size_t first = dialog.errorTail.find_first_not_of(" \n");
        if (first == std::string::npos) {
            return std::string();
        }
        return "; it said: " + detail::Printable(dialog.errorTail.substr(first), kErrorTailBytes);
    }

    // Exit ------------------------------------------------------------------------------------

    void WatchExit(DialogPtr const& dialog) {
        dialog->exitWatch.async_wait(asio::posix::stream_descriptor::wait_read,
                                     [this, dialog](boost::system::error_code ec) {
                                         if (dialog->closed || ec) {
                                             return;
                                         }
                                         if (!Reap(dialog)) {
                                             WatchExit(dialog);
                                         }
                                     });
    }

    void PollExit(DialogPtr const& dialog) {
        dialog->pollTimer.expires_after(kExitPoll);
        dialog->pollTimer.async_wait([this, dialog](boost::system::error_code ec) {
            if (dialog->closed || ec) {
                return;
            }
            if (!Reap(dialog)) {
                PollExit(dialog);
            }
        });
    }

    // Collects the program's exit status; false while it runs.
    bool Reap(DialogPtr const& dialog) {
        int status = 0;
        pid_t const reaped = ::waitpid(dialog->pid, &status, WNOHANG);
        if (reaped == 0 || (reaped < 0 && errno == EINTR)) {
            return false;
        }
        dialog->exited = true;
        dialog->status = status;
        if (reaped < 0) {
            Diagnose("codec settings dialog: waiting for process " + std::to_string(dialog->pid) +
                     " failed: " + std::strerror(errno));
        }
        if (dialog->outputClosed) {
            Finish(dialog);
        } else {
            StartGrace(dialog);  // a process it started may still hold the output open
        }
        return true;
    }

    // When the grace runs out: a program still running is killed (its exit finishes it), one
    // gone is finished without waiting any longer for its output to close.
    void StartGrace(DialogPtr const& dialog) {
        dialog->graceTimer.expires_after(mOptions.exitGrace);
        dialog->graceTimer.async_wait([this, dialog](boost::system::error_code ec) {
            if (ec || dialog->closed) {
                return;
            }
            if (dialog->exited) {
                // Something the program started holds its output open: its process group still
                // exists (so the id names no other group) and goes too.
                if (!dialog->outputClosed) {
                    ::kill(-dialog->pid, SIGKILL);
                }
                Finish(dialog);
            } else {
                Kill(dialog);
            }
        });
    }

    void Finish(DialogPtr const& dialog) {
        if (dialog->closed) {
            return;
        }
        if (!dialog->answered) {
            Answer(dialog,
                   Cancelled("the dialog program ended (" + detail::DescribeExit(dialog->status) +
                             ") without answering" + ErrorTail(*dialog)));
        }
        Close(dialog);
    }

    void Close(DialogPtr const& dialog) {
        dialog->closed = true;
        boost::system::error_code ignored;
        dialog->startTimer.cancel();
        dialog->graceTimer.cancel();
        dialog->pollTimer.cancel();
        dialog->output.close(ignored);
        dialog->errors.close(ignored);
        dialog->exitWatch.close(ignored);
        for (auto it = mDialogs.begin(); it != mDialogs.end(); ++it) {
            if (*it == dialog) {
                mDialogs.erase(it);
                break;
            }
        }
        UpdateIndex();
    }

    void Kill(DialogPtr const& dialog) {
        // The process is not reaped before `exited` is set, so its pid (and its process group,
        // which it leads) cannot name another. The group takes along anything it started.
        if (!dialog->exited && !dialog->killed) {
            dialog->killed = true;
            if (::kill(-dialog->pid, SIGKILL) != 0) {
                ::kill(dialog->pid, SIGKILL);
            }
        }
    }

    void Raise(DialogPtr const& dialog) {
        if (dialog->answered || dialog->exited) {
            return;
        }
        if (dialog->ready) {
            // Only after "ready": before the program handles the signal it would end it.
            ::kill(dialog->pid, protocol::kRaiseSignal);
        } else {
            dialog->raisePending = true;
        }
    }

    // Answers ---------------------------------------------------------------------------------

    void Answer(DialogPtr const& dialog, DialogOutcome const& outcome) {
        if (dialog->answered) {
            return;
        }
        dialog->answered = true;
        dialog->startTimer.cancel();
        UpdateIndex();
        Callback done = std::move(dialog->done);
        Deliver(done, outcome);
        if (!dialog->exited && !dialog->closed) {
            StartGrace(dialog);
        }
    }

    void Deliver(Callback const& done, DialogOutcome const& outcome) {
        if (!outcome.accepted && !outcome.reason.empty()) {
            Diagnose("codec settings dialog cancelled: " + outcome.reason);
        }
        if (!done) {
            return;
        }
        try {
            done(outcome);
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("answering a codec settings dialog request");
        }
    }

    void Diagnose(std::string const& line) {
        if (!mOptions.diagnostics) {
            return;
        }
        try {
            mOptions.diagnostics(line);
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("writing a codec settings dialog diagnostic");
        }
    }

    // Bookkeeping -----------------------------------------------------------------------------

    DialogPtr OpenDialog(SessionKey session) const {
        for (auto const& dialog : mDialogs) {
            if (dialog->session == session && !dialog->answered) {
                return dialog;
            }
        }
        return nullptr;
    }

    std::vector<DialogPtr> Snapshot() const { return mDialogs; }

    void UpdateIndex() {
        std::lock_guard<std::mutex> lock(mIndexLock);
        mOpenBySession.clear();
        for (auto const& dialog : mDialogs) {
            if (!dialog->answered) {
                mOpenBySession[dialog->session] = dialog->pid;
            }
        }
        mRunning = mDialogs.size();
    }

    void Shutdown() {
        mStopping = true;
        for (auto const& dialog : Snapshot()) {
            Answer(dialog, Cancelled("the server is stopping"));
            Kill(dialog);
        }
        // Killed programs go at once; collect them so that none is left behind as a zombie.
        for (auto const& dialog : Snapshot()) {
            if (!dialog->exited) {
                int status = 0;
                while (::waitpid(dialog->pid, &status, 0) < 0 && errno == EINTR) {
                }
                dialog->exited = true;
            }
            Close(dialog);
        }
    }

    LauncherOptions mOptions;
    asio::io_context mIo;
    asio::executor_work_guard<asio::io_context::executor_type> mWork;
    std::thread mThread;
    std::vector<DialogPtr> mDialogs;  // launcher thread only
    bool mStopping = false;           // launcher thread only

    mutable std::mutex mIndexLock;
    std::map<SessionKey, std::int64_t> mOpenBySession;
    std::size_t mRunning = 0;
};

DialogLauncher::DialogLauncher(LauncherOptions options)
    : mImpl(std::make_unique<Impl>(std::move(options))) {}

DialogLauncher::~DialogLauncher() = default;

void DialogLauncher::Show(SessionKey session, std::uint32_t codec,
                          std::vector<std::uint8_t> startData, Callback done) {
    mImpl->Show(session, codec, std::move(startData), std::move(done));
}

void DialogLauncher::BringToForeground(SessionKey session) {
    mImpl->BringToForeground(session);
}

void DialogLauncher::EndSession(SessionKey session) {
    mImpl->EndSession(session);
}

std::int64_t DialogLauncher::DialogProcessId(SessionKey session) const {
    return mImpl->DialogProcessId(session);
}

std::size_t DialogLauncher::RunningPrograms() const {
    return mImpl->RunningPrograms();
}

}  // namespace vireo::server::codecsettings
