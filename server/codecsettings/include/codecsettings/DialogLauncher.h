#pragma once
// Shows a codec's settings dialog: starts the dialog program (vireo-codec-settings) for each
// request, so that the server links no GUI toolkit, and reports the outcome once.
//
//   DialogLauncher launcher(options);
//   launcher.Show(session, codec, startData, done);  // "DisplayVideoCodecPrefsDialog"
//   launcher.BringToForeground(session);             // "BringVideoCodecDialogToForeground"
//   launcher.EndSession(session);                    // the session ended
//
// Every request is answered exactly once: accepted with the private data the user accepted, or
// cancelled. A request is cancelled at once (with the reason in the diagnostics) when its codec
// has no dialog, no display is available (neither DISPLAY nor WAYLAND_DISPLAY), the program is
// missing or cannot be started, the session has a dialog open already (that one is raised), or
// too many dialogs are open; later when the program does not show its window in time, dies,
// or writes anything but a well-formed answer with settings the codec reads. A dialog closes
// when its session ends, when the launcher is destroyed, and when the server process dies (the
// program dies with its parent).
//
// Threads: every call returns at once and never blocks on the program. Callbacks and
// diagnostics run on the launcher's own thread, never inside a call; they must not block (other
// dialogs wait behind them) and must not destroy the launcher.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vireo::server::codecsettings {

using SessionKey = std::int64_t;  // the session a request came on

struct DialogOutcome {
    bool accepted = false;                  // false: cancelled
    std::vector<std::uint8_t> privateData;  // when accepted: the codec's private data
    std::string reason;                     // when cancelled without the user: why
};

struct LauncherOptions {
    // The dialog program; empty: DefaultDialogProgram().
    std::string program;
    // Time the program has to show its window.
    std::chrono::milliseconds startTimeout{30000};
    // Time a program that answered (or closed its output) has to exit before it is killed.
    std::chrono::milliseconds exitGrace{5000};
    // Most dialogs open at once, over all sessions.
    std::size_t maxDialogs = 8;
    // Receives one line for each request cancelled without the user and for each program
    // failure (the server passes its diagnostics log). May be empty.
    std::function<void(std::string const&)> diagnostics;
};

class DialogLauncher {
  public:
    // Runs exactly once, on the launcher's thread.
    using Callback = std::function<void(DialogOutcome const&)>;

    explicit DialogLauncher(LauncherOptions options = {});
    // Closes every dialog (their requests are answered cancelled), waits for the programs to be
    // gone and for the launcher's thread. Never call it from a callback.
    ~DialogLauncher();
    DialogLauncher(DialogLauncher const&) = delete;
    DialogLauncher& operator=(DialogLauncher const&) = delete;

    // Shows the dialog of video codec `codec` (a FourCC), starting from `startData` (the
    // request's private data; empty or unreadable: the codec's defaults).
    void Show(SessionKey session, std::uint32_t codec, std::vector<std::uint8_t> startData,
              Callback done);

    // Raises the session's open dialog above other windows; nothing when it has none.
    void BringToForeground(SessionKey session);

    // Closes the session's dialog (its request is answered cancelled).
    void EndSession(SessionKey session);

    // The process id of the session's open dialog program, 0 when none (for diagnostics).
    std::int64_t DialogProcessId(SessionKey session) const;
    // Dialog programs running (answered ones included until they have exited).
    std::size_t RunningPrograms() const;

  private:
    class Impl;
    std::unique_ptr<Impl> mImpl;
};

// The dialog program: $VIREO_CODEC_SETTINGS_PROGRAM when set; else vireo-codec-settings next to
// the server executable; else <server directory>/../libexec/vireo/vireo-codec-settings. The
// first candidate is returned when none exists, so that the request names it in its reason.
std::string DefaultDialogProgram();

}  // namespace vireo::server::codecsettings
