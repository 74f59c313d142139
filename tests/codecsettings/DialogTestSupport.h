#pragma once
// Helpers of the dialog tests: collecting the launcher's answers, stand-in dialog programs (shell
// scripts that answer as a test needs), and driving the real dialog under an X server with
// xdotool.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codecsettings/DialogLauncher.h"
#include "export/CodecSettings.h"

namespace vireo::test::codecsettings {

namespace cs = vireo::server::codecsettings;
namespace ex = vireo::server::exporting;

// The answers of requests, by request number; each request's callback may run only once.
class Outcomes {
  public:
    Outcomes();
    cs::DialogLauncher::Callback For(int request);
    // Waits (scaled) for the request's answer.
    std::optional<cs::DialogOutcome> WaitFor(
        int request, std::chrono::milliseconds bound = std::chrono::seconds(20));
    int Calls(int request) const;  // how often its callback ran

  private:
    struct State;
    std::shared_ptr<State> mState;
};

// Lines the launcher wrote to its diagnostics.
class Diagnostics {
  public:
    Diagnostics();
    std::function<void(std::string const&)> Sink();
    bool Contains(std::string const& text) const;

  private:
    struct State;
    std::shared_ptr<State> mState;
};

// Writes an executable /bin/sh script `name` with `body` into `directory`; returns its path.
std::string WriteScript(std::string const& directory, std::string const& name,
                        std::string const& body);
// The shell text that answers "accepted" with `data` (printf-safe: no '%' or '\' in data).
std::string AcceptLines(std::string const& data);

std::vector<std::uint8_t> Bytes(std::string const& text);
std::string Text(std::vector<std::uint8_t> const& bytes);
// `data` read as settings of `codec` (the test fails when they do not read).
ex::CodecSettings ReadBack(std::uint32_t codec, std::vector<std::uint8_t> const& data);

// The built dialog program.
std::string DialogProgram();

// Launcher options for tests: the given program, scaled time limits, diagnostics collected.
cs::LauncherOptions TestOptions(std::string const& program, Diagnostics& diagnostics);

// Waits (scaled) until the session has an open dialog program; its pid, or 0.
pid_t WaitForDialogProcess(cs::DialogLauncher const& launcher, cs::SessionKey session);

// Display tests run when an X display and xdotool are there; otherwise they are skipped.
bool CanDriveDialogs(std::string& why);

// xdotool under the test's display.
class Desktop {
  public:
    // The shown window of process `pid` (waits up to `bound`, scaled); "" when none appeared.
    static std::string WindowOf(pid_t pid,
                                std::chrono::milliseconds bound = std::chrono::seconds(20));
    // Gives `window` the keyboard and waits until it has it; false when it never did.
    static bool Focus(std::string const& window);
    static std::string FocusedWindow();
    // Key names as xdotool takes them ("alt+k", "ctrl+a", "Return").
    static bool Keys(std::vector<std::string> const& keys);
    // Each step a key (as Keys takes them) or "type:TEXT".
    static bool Steps(std::vector<std::string> const& steps);
    // Asks the X server to disconnect the window's program (as a window manager's "kill").
    static bool KillClient(std::string const& window);
    static bool WindowExists(std::string const& window);
};

}  // namespace vireo::test::codecsettings
