// Helpers of the dialog tests.
#include "DialogTestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "CodecSettingsTestPaths.h"
#include "TimeScale.h"
#include "export/ExportErrors.h"

namespace vireo::test::codecsettings {

struct Outcomes::State {
    mutable std::mutex lock;
    std::condition_variable changed;
    std::map<int, cs::DialogOutcome> outcomes;
    std::map<int, int> calls;
};

Outcomes::Outcomes() : mState(std::make_shared<State>()) {}

cs::DialogLauncher::Callback Outcomes::For(int request) {
    return [state = mState, request](cs::DialogOutcome const& outcome) {
        std::lock_guard<std::mutex> lock(state->lock);
        state->outcomes[request] = outcome;
        ++state->calls[request];
        state->changed.notify_all();
    };
}

std::optional<cs::DialogOutcome> Outcomes::WaitFor(int request, std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(mState->lock);
    if (!mState->changed.wait_for(lock, Scaled(bound),
                                  [&] { return mState->outcomes.count(request) != 0; })) {
        return std::nullopt;
    }
    return mState->outcomes[request];
}

int Outcomes::Calls(int request) const {
    std::lock_guard<std::mutex> lock(mState->lock);
    auto found = mState->calls.find(request);
    return found != mState->calls.end() ? found->second : 0;
}

struct Diagnostics::State {
    mutable std::mutex lock;
    std::vector<std::string> lines;
};

Diagnostics::Diagnostics() : mState(std::make_shared<State>()) {}

std::function<void(std::string const&)> Diagnostics::Sink() {
    return [state = mState](std::string const& line) {
        std::lock_guard<std::mutex> lock(state->lock);
        state->lines.push_back(line);
    };
}

bool Diagnostics::Contains(std::string const& text) const {
    std::lock_guard<std::mutex> lock(mState->lock);
    for (auto const& line : mState->lines) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string WriteScript(std::string const& directory, std::string const& name,
                        std::string const& body) {
    std::string const path = directory + "/" + name;
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << "#!/bin/sh\n" << body << "\n";
    }
    ::chmod(path.c_str(), 0755);
    return path;
}

std::string AcceptLines(std::string const& data) {
    return "printf 'accepted " + std::to_string(data.size()) + "\\n%s' '" + data + "'";
}

std::vector<std::uint8_t> Bytes(std::string const& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::string Text(std::vector<std::uint8_t> const& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

ex::CodecSettings ReadBack(std::uint32_t codec, std::vector<std::uint8_t> const& data) {
    ex::CodecSettings settings;
    std::string why;
    EXPECT_EQ(ex::ReadCodecSettings(data.data(), data.size(), codec, settings, why), ex::kExportOK)
        << why << ": " << Text(data);
    return settings;
}

std::string DialogProgram() {
    return VIREO_TEST_DIALOG_PROGRAM;
}

cs::LauncherOptions TestOptions(std::string const& program, Diagnostics& diagnostics) {
    cs::LauncherOptions options;
    options.program = program;
    options.startTimeout = Scaled(std::chrono::seconds(30));
    options.exitGrace = Scaled(std::chrono::seconds(2));
    options.diagnostics = diagnostics.Sink();
    return options;
}

pid_t WaitForDialogProcess(cs::DialogLauncher const& launcher, cs::SessionKey session) {
    std::int64_t pid = 0;
    vireo::test::Eventually([&] { return (pid = launcher.DialogProcessId(session)) != 0; },
                            std::chrono::seconds(20));
    return pid_t(pid);
}

namespace {

// Runs a shell command; its standard output, and whether it exited 0.
bool Run(std::string const& command, std::string* output = nullptr) {
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) {
        return false;
    }
    std::string text;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        text += buffer;
    }
    int const status = ::pclose(pipe);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    if (output != nullptr) {
        *output = text;
    }
    return status == 0;
}

}  // namespace

// An X server started without -noreset resets itself whenever its last client leaves, and a
// program that connects meanwhile is refused. The tests keep one connection open for the whole
// process, made once the server accepts it.
bool HoldDisplay() {
    static bool const held = [] {
        return vireo::test::Eventually(
            [] {
                static xcb_connection_t* connection = nullptr;
                connection = xcb_connect(nullptr, nullptr);
                if (xcb_connection_has_error(connection) == 0) {
                    return true;  // kept until the process ends
                }
                xcb_disconnect(connection);
                return false;
            },
            std::chrono::seconds(10));
    }();
    return held;
}

bool CanDriveDialogs(std::string& why) {
    char const* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        why = "no X display (DISPLAY is not set)";
        return false;
    }
    if (!Run("xdotool version")) {
        why = "xdotool is not installed";
        return false;
    }
    if (!HoldDisplay()) {
        why = std::string("the X display ") + display + " refuses connections";
        return false;
    }
    return true;
}

std::string Desktop::WindowOf(pid_t pid, std::chrono::milliseconds bound) {
    std::string window;
    vireo::test::Eventually(
        [&] {
            std::string found;
            Run("xdotool search --onlyvisible --pid " + std::to_string(pid), &found);
            window = found.substr(0, found.find('\n'));
            return !window.empty();
        },
        bound);
    return window;
}

bool Desktop::Focus(std::string const& window) {
    return vireo::test::Eventually(
        [&] {
            Run("xdotool windowfocus " + window);
            return FocusedWindow() == window;
        },
        std::chrono::seconds(10));
}

std::string Desktop::FocusedWindow() {
    std::string window;
    Run("xdotool getwindowfocus", &window);
    return window;
}

bool Desktop::Keys(std::vector<std::string> const& keys) {
    std::string command = "xdotool key --delay 30";
    for (auto const& key : keys) {
        command += " " + key;
    }
    return Run(command);
}

bool Desktop::Steps(std::vector<std::string> const& steps) {
    for (auto const& step : steps) {
        bool const typed = step.rfind("type:", 0) == 0;
        if (!(typed ? Run("xdotool type --delay 30 '" + step.substr(5) + "'") : Keys({step}))) {
            return false;
        }
    }
    return true;
}

bool Desktop::KillClient(std::string const& window) {
    return Run("xdotool windowkill " + window);
}

bool Desktop::WindowExists(std::string const& window) {
    return Run("xdotool getwindowname " + window);
}

}  // namespace vireo::test::codecsettings
