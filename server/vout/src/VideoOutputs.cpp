#include "vout/VideoOutputs.h"

#include <map>
#include <mutex>

#include "CaptureOutput.h"
#include "ComponentLock.h"
#include "DisplayThread.h"
#include "Modes.h"
#include "Output.h"
#include "basekit/debug/Failure.h"

namespace vireo::server::vout {
namespace {

// A screen in use: its window on the display thread.
class DisplayOutput : public Output {
  public:
    DisplayOutput(DisplayThread& display, int screen, ScreenMode mode)
        : mDisplay(display), mScreen(screen), mMode(std::move(mode)) {}
    ~DisplayOutput() override { Close(); }

    Status Open() override { return mDisplay.OpenWindow(mScreen, mMode, mWindow); }
    Status Begin(InterfaceRef<Kino::IVideoFrame> const& frame) override {
        return mDisplay.ShowFrame(mWindow, frame);
    }
    Status Show(InterfaceRef<Kino::IVideoFrame> const& frame) override {
        return mDisplay.ShowFrame(mWindow, frame);
    }
    // The last frame stays on the screen until the window closes.
    Status End() override { return Status::Ok(); }
    void Close() override {
        if (mWindow != 0) {
            mDisplay.CloseWindow(mWindow);
            mWindow = 0;
        }
    }

  private:
    DisplayThread& mDisplay;
    int mScreen;
    ScreenMode mMode;
    int mWindow = 0;
};

// A component as listed, with what it takes to open it.
struct Entry {
    Component component;
    bool isDisplay = false;
    int screen = 0;
    std::vector<ScreenMode> screenModes;  // parallel to component.mDisplayModes
    std::string lockKey;
};

// A component in use by one session.
struct Use {
    std::mutex mutex;  // serialises the session's calls on it
    bool open = true;
    bool blitting = false;
    std::string application;
    DisplayModeInfo mode;
    ComponentLock lock;
    std::unique_ptr<Output> output;
    CaptureOutput* capture = nullptr;  // output, when it is the capture output
};

OperationResult MakeResult(Status const& status, std::string const& application) {
    OperationResult result;
    result.mOperationResult = status.outcome;
    result.mQTResultCode = status.code;
    result.mApplicationUsingComponentName = application;
    return result;
}

}  // namespace

struct VideoOutputs::Impl {
    Settings settings;
    std::unique_ptr<DisplayThread> display;
    std::mutex beginMutex;  // one BeginUsingComponent at a time
    std::mutex tableMutex;  // guards uses
    std::map<SessionKey, std::shared_ptr<Use>> uses;

    void Log(Status const& status) {
        if (!status.IsOk() && settings.log && !status.detail.empty()) {
            try {
                settings.log(status.detail);
            } catch (...) {
                BASEKIT_REPORT_CAUGHT("writing a video-output diagnostic");
            }
        }
    }

    std::vector<Entry> Enumerate() {
        std::vector<Entry> entries;
        if (display) {
            std::vector<ScreenInfo> screens;
            Status const status = display->ListScreens(screens);
            Log(status);
            for (ScreenInfo const& screen : screens) {
                Entry entry;
                entry.isDisplay = true;
                entry.screen = screen.index;
                entry.screenModes = screen.modes;
                entry.lockKey = screen.lockKey;
                entry.component.mVOutComponentName =
                    "Display " + std::to_string(screen.index) +
                    (screen.name.empty() ? std::string() : ": " + screen.name);
                entry.component.mQTComponentDescription =
                    MakeDescription(DisplaySubType(screen.index));
                entry.component.mDisplayModes =
                    MakeModeList(screen.modes, screen.xDpi, screen.yDpi);
                entries.push_back(std::move(entry));
            }
        }
        Entry capture;
        capture.lockKey = "capture";
        capture.component.mVOutComponentName = "Capture to files in " + settings.captureDirectory;
        capture.component.mQTComponentDescription = MakeDescription(kCaptureSubType);
        capture.component.mDisplayModes.push_back(CaptureModeInfo());
        capture.screenModes.emplace_back();
        entries.push_back(std::move(capture));
        return entries;
    }

    std::shared_ptr<Use> Find(SessionKey session) {
        std::lock_guard<std::mutex> lock(tableMutex);
        auto found = uses.find(session);
        return found != uses.end() ? found->second : nullptr;
    }

    std::shared_ptr<Use> Remove(SessionKey session) {
        std::lock_guard<std::mutex> lock(tableMutex);
        auto found = uses.find(session);
        if (found == uses.end()) {
            return nullptr;
        }
        std::shared_ptr<Use> use = found->second;
        uses.erase(found);
        return use;
    }

    // Ends the run, closes the output and drops the lock.
    Status GiveBack(Use& use) {
        std::lock_guard<std::mutex> lock(use.mutex);
        Status status;
        if (use.open) {
            if (use.blitting) {
                status = use.output->End();
                use.blitting = false;
            }
            use.output->Close();
            use.lock.Release();
            use.open = false;
        }
        return status;
    }

    OperationResult Blit(SessionKey session, InterfaceRef<Kino::IVideoFrame> const& frame,
                         bool begin) {
        std::shared_ptr<Use> use = Find(session);
        if (!use) {
            return MakeResult(Status::Fail(kVOutNoComponentInUse, 0, ""), std::string());
        }
        std::lock_guard<std::mutex> lock(use->mutex);
        if (!use->open) {
            return MakeResult(Status::Fail(kVOutNoComponentInUse, 0, ""), std::string());
        }
        Status status;
        if (!frame) {
            status = Status::Fail(kVOutBadFrame, 0, "no frame");
        } else if (!begin && !use->blitting) {
            status = Status::Fail(kVOutNotBlitting, 0, "");
        } else {
            status = CheckFrame(*frame);
        }
        if (status.IsOk()) {
            if (begin) {
                if (use->blitting) {
                    // A new run ends the one before.
                    use->output->End();
                }
                status = use->output->Begin(frame);
                use->blitting = status.IsOk();
            } else {
                status = use->output->Show(frame);
            }
        }
        Log(status);
        return MakeResult(status, use->application);
    }
};

VideoOutputs::VideoOutputs(Settings settings) : mImpl(std::make_unique<Impl>()) {
    mImpl->settings = std::move(settings);
    if (mImpl->settings.lockDirectory.empty()) {
        mImpl->settings.lockDirectory = DefaultLockDirectory();
    }
    if (mImpl->settings.captureDirectory.empty()) {
        mImpl->settings.captureDirectory = DefaultCaptureDirectory();
    }
    if (mImpl->settings.useDisplays) {
        mImpl->display = std::make_unique<DisplayThread>(mImpl->settings.displayTimeout);
    }
}

VideoOutputs::~VideoOutputs() {
    std::map<SessionKey, std::shared_ptr<Use>> uses;
    {
        std::lock_guard<std::mutex> lock(mImpl->tableMutex);
        uses.swap(mImpl->uses);
    }
    for (auto& entry : uses) {
        mImpl->GiveBack(*entry.second);
    }
    mImpl->display.reset();
}

std::vector<Component> VideoOutputs::GetComponents() {
    std::vector<Component> components;
    for (Entry& entry : mImpl->Enumerate()) {
        components.push_back(std::move(entry.component));
    }
    return components;
}

UseComponentData VideoOutputs::BeginUsingComponent(SessionKey session,
                                                   UseComponentData const& request) {
    std::lock_guard<std::mutex> begin(mImpl->beginMutex);
    UseComponentData answer = request;
    auto const finish = [&](Status const& status, std::string const& name) {
        mImpl->Log(status);
        answer.mVOutOperationResult = MakeResult(status, name);
        return answer;
    };
    if (std::shared_ptr<Use> current = mImpl->Find(session)) {
        return finish(Status::Fail(kVOutAlreadyUsingComponent, 0, ""), current->application);
    }
    std::vector<Entry> entries = mImpl->Enumerate();
    Entry* chosen = nullptr;
    for (Entry& entry : entries) {
        if (DescriptionMatches(request.mQTComponentDescription,
                               entry.component.mQTComponentDescription)) {
            chosen = &entry;
            break;
        }
    }
    if (chosen == nullptr) {
        return finish(Status::Fail(kVOutComponentNotFound, 0, ""), std::string());
    }
    int const modeIndex = FindMode(chosen->component.mDisplayModes, request.mQTAtomIDForDisplayMode,
                                   request.mDisplayModeID);
    if (modeIndex < 0) {
        return finish(Status::Fail(kVOutDisplayModeNotFound, 0, ""), std::string());
    }
    auto use = std::make_shared<Use>();
    use->application = request.mApplicationName;
    use->mode = chosen->component.mDisplayModes[static_cast<std::size_t>(modeIndex)];
    std::string holder;
    int error = 0;
    switch (use->lock.Take(mImpl->settings.lockDirectory, chosen->lockKey, use->application, holder,
                           error)) {
        case ComponentLock::Outcome::kTaken:
            break;
        case ComponentLock::Outcome::kHeld:
            return finish(Status::Fail(kVOutComponentInUse, 0, ""), holder);
        case ComponentLock::Outcome::kFailed:
            return finish(
                Status::Fail(kVOutOutputFailed, error,
                             "cannot use the lock directory " + mImpl->settings.lockDirectory),
                std::string());
    }
    if (chosen->isDisplay) {
        use->output = std::make_unique<DisplayOutput>(
            *mImpl->display, chosen->screen,
            chosen->screenModes[static_cast<std::size_t>(modeIndex)]);
    } else {
        auto capture =
            std::make_unique<CaptureOutput>(mImpl->settings.captureDirectory, use->application);
        use->capture = capture.get();
        use->output = std::move(capture);
    }
    Status const opened = use->output->Open();
    if (!opened.IsOk()) {
        use->output->Close();
        return finish(opened, std::string());
    }
    answer.mQTComponentDescription = chosen->component.mQTComponentDescription;
    answer.mQTAtomIDForDisplayMode = use->mode.mQTAtomIDForMode;
    answer.mDisplayModeID = use->mode.mDisplayModeID;
    {
        std::lock_guard<std::mutex> lock(mImpl->tableMutex);
        mImpl->uses[session] = use;
    }
    return finish(Status::Ok(), use->application);
}

ActiveDisplayModeData VideoOutputs::GetActiveDisplayModeData(SessionKey session) {
    ActiveDisplayModeData data;
    std::shared_ptr<Use> use = mImpl->Find(session);
    if (!use) {
        data.mOperationResult = MakeResult(Status::Fail(kVOutNoComponentInUse, 0, ""), "");
        return data;
    }
    std::lock_guard<std::mutex> lock(use->mutex);
    if (!use->open) {
        data.mOperationResult = MakeResult(Status::Fail(kVOutNoComponentInUse, 0, ""), "");
        return data;
    }
    data.mDisplayModeInfo = use->mode;
    data.mOperationResult = MakeResult(Status::Ok(), use->application);
    return data;
}

OperationResult VideoOutputs::BeginBlitting(SessionKey session,
                                            InterfaceRef<Kino::IVideoFrame> const& frame) {
    return mImpl->Blit(session, frame, true);
}

OperationResult VideoOutputs::BlitFrame(SessionKey session,
                                        InterfaceRef<Kino::IVideoFrame> const& frame) {
    return mImpl->Blit(session, frame, false);
}

OperationResult VideoOutputs::EndBlitting(SessionKey session) {
    std::shared_ptr<Use> use = mImpl->Find(session);
    if (!use) {
        return MakeResult(Status::Fail(kVOutNoComponentInUse, 0, ""), std::string());
    }
    std::lock_guard<std::mutex> lock(use->mutex);
    if (!use->open) {
        return MakeResult(Status::Fail(kVOutNoComponentInUse, 0, ""), std::string());
    }
    Status status = Status::Fail(kVOutNotBlitting, 0, "");
    if (use->blitting) {
        status = use->output->End();
        use->blitting = false;
    }
    mImpl->Log(status);
    return MakeResult(status, use->application);
}

OperationResult VideoOutputs::EndUsingComponent(SessionKey session) {
    std::shared_ptr<Use> use = mImpl->Remove(session);
    if (!use) {
        return MakeResult(Status::Fail(kVOutNoComponentInUse, 0, ""), std::string());
    }
    Status const status = mImpl->GiveBack(*use);
    mImpl->Log(status);
    return MakeResult(status, use->application);
}

void VideoOutputs::SessionEnded(SessionKey session) {
    if (std::shared_ptr<Use> use = mImpl->Remove(session)) {
        mImpl->Log(mImpl->GiveBack(*use));
    }
}

std::string VideoOutputs::CaptureFilePath(SessionKey session) {
    std::shared_ptr<Use> use = mImpl->Find(session);
    if (!use) {
        return std::string();
    }
    std::lock_guard<std::mutex> lock(use->mutex);
    return use->capture != nullptr ? use->capture->FilePath() : std::string();
}

}  // namespace vireo::server::vout
