// The settings dialog launcher: one dialog program per request, its answer passed on once.
#include "codecsettings/DialogLauncher.h"

#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "DialogProcess.h"
#include "DialogProgram.h"
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

// One request whose program runs.
struct Request {
    SessionKey session = 0;
    std::shared_ptr<detail::DialogProgram> program;
    DialogLauncher::Callback done;
};
using RequestPtr = std::shared_ptr<Request>;

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
            if (RequestPtr open = OpenRequest(session)) {
                open->program->Raise();
            }
        });
    }

    void EndSession(SessionKey session) {
        asio::post(mIo, [this, session] {
            for (auto const& request : std::vector<RequestPtr>(mRequests)) {
                if (request->session == session) {
                    request->program->Close("its session ended");
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
        if (RequestPtr open = OpenRequest(session)) {
            open->program->Raise();
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
        if (mRequests.size() >= mOptions.maxDialogs) {
            return Deliver(done, Cancelled(std::to_string(mRequests.size()) +
                                           " dialog programs are running already"));
        }
        if (data.size() > protocol::kMaxInputBytes) {
            Diagnose("codec settings dialog: starting data of " + std::to_string(data.size()) +
                     " bytes not passed on; the dialog starts from the defaults");
            data.clear();
        }

        std::vector<std::string> arguments = {"--codec", name, "--parent-pid",
                                              std::to_string(::getpid())};
        std::string const title = ex::CodecName(codec);
        if (!title.empty()) {
            arguments.insert(arguments.end(), {"--name", title});
        }
        detail::StartedProgram started;
        std::string error;
        if (!detail::StartProgram(mOptions.program, arguments, data, started, error)) {
            return Deliver(done, Cancelled(error));
        }

        auto request = std::make_shared<Request>();
        request->session = session;
        request->done = std::move(done);
        std::weak_ptr<Request> weak = request;
        detail::DialogProgram::Events events;
        events.answered = [this, weak](DialogOutcome const& outcome) {
            if (RequestPtr answered = weak.lock()) {
                Callback callback = std::move(answered->done);
                UpdateIndex();
                Deliver(callback, outcome);
            }
        };
        events.gone = [this, weak] {
            if (RequestPtr gone = weak.lock()) {
                Forget(gone);
            }
        };
        request->program = std::make_shared<detail::DialogProgram>(
            mIo, codec, detail::DialogProgram::Timing{mOptions.startTimeout, mOptions.exitGrace},
            std::move(events));
        mRequests.push_back(request);
        request->program->Watch(started);
        UpdateIndex();
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

    RequestPtr OpenRequest(SessionKey session) const {
        for (auto const& request : mRequests) {
            if (request->session == session && !request->program->Answered()) {
                return request;
            }
        }
        return nullptr;
    }

    void Forget(RequestPtr const& request) {
        for (auto it = mRequests.begin(); it != mRequests.end(); ++it) {
            if (*it == request) {
                mRequests.erase(it);
                break;
            }
        }
        UpdateIndex();
    }

    void UpdateIndex() {
        std::lock_guard<std::mutex> lock(mIndexLock);
        mOpenBySession.clear();
        for (auto const& request : mRequests) {
            if (!request->program->Answered()) {
                mOpenBySession[request->session] = request->program->Pid();
            }
        }
        mRunning = mRequests.size();
    }

    // Every open request is answered; killed programs go at once and are collected, so that
    // none is left behind, running or as a zombie.
    void Shutdown() {
        mStopping = true;
        std::vector<RequestPtr> const requests = std::move(mRequests);
        mRequests.clear();
        for (auto const& request : requests) {
            request->program->Stop("the server is stopping");
        }
        UpdateIndex();
    }

    LauncherOptions mOptions;
    asio::io_context mIo;
    asio::executor_work_guard<asio::io_context::executor_type> mWork;
    std::thread mThread;
    std::vector<RequestPtr> mRequests;  // launcher thread only
    bool mStopping = false;             // launcher thread only

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
