#pragma once
// The server's video outputs: a display output for each screen of the machine (through SDL2)
// and a capture output that writes every frame it is given to a file.
//
// A session (one client connection) lists the components, takes one into use in one of its
// display modes, blits frames to it in runs (begin, frames, end) and gives it back. A component
// is used by one application at a time across every process of the user (ComponentLock: a
// flock per component, which the kernel drops when a holder's process dies). A session that
// ends gives its component back (SessionEnded).
//
// Threads and blocking: every call may come from any thread and blocks the caller until its
// work is done; none waits for a peer. Calls for one session are serialised here, calls for
// different sessions run in parallel, except that taking components into use is serialised.
// Display work runs on the module's one display thread (all SDL video calls are made there) and
// its callers wait for it at most Settings::displayTimeout. Capture writes run on the caller's
// thread. No call may be made while the VideoOutputs is being destroyed.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Kino/VideoFrame.h"
#include "Orb/InterfaceRef.h"
#include "vout/Records.h"

namespace vireo::server::vout {

// Identifies a session to the module: any value unique among the live sessions.
using SessionKey = std::uint64_t;

struct Settings {
    // The per-user directory of the component locks; empty: DefaultLockDirectory(), that is
    // $XDG_RUNTIME_DIR/vireo-vout or ${TMPDIR:-/tmp}/vireo-vout-<uid>.
    std::string lockDirectory;
    // Where the capture output writes; empty: $VIREO_VOUT_CAPTURE_DIR, else
    // ${XDG_DATA_HOME:-$HOME/.local/share}/Vireo/Captures.
    std::string captureDirectory;
    // False lists the capture output only (no display is touched).
    bool useDisplays = true;
    // The longest wait for the display thread.
    std::chrono::milliseconds displayTimeout{10000};
    // Diagnostics (why an output failed); called on the calling thread. May be empty.
    std::function<void(std::string const&)> log;
};

class VideoOutputs {
  public:
    explicit VideoOutputs(Settings settings = Settings());
    // Gives every component back (runs end, windows close, locks drop) and stops the display
    // thread.
    ~VideoOutputs();
    VideoOutputs(VideoOutputs const&) = delete;
    VideoOutputs& operator=(VideoOutputs const&) = delete;

    // "GetQTVOutComponents": the displays (one component each, with the screen's modes) and
    // then the capture output. Blocks for the display thread.
    std::vector<Component> GetComponents();

    // "QTVOutBeginUsingComponent": takes the first component matching
    // request.mQTComponentDescription, in the mode whose identifier is request.mDisplayModeID
    // (or, when that is 0, whose atom identifier is request.mQTAtomIDForDisplayMode), for
    // request.mApplicationName. A display output opens its window now. The answer is the
    // request with the component's full description, the mode's atom identifier and identifier
    // and the outcome filled in; its mApplicationUsingComponentName is the application that
    // uses the component (the holder when refused with kVOutComponentInUse).
    UseComponentData BeginUsingComponent(SessionKey session, UseComponentData const& request);

    // "QTVOutGetActiveDisplayModeData": the mode of the session's component.
    ActiveDisplayModeData GetActiveDisplayModeData(SessionKey session);

    // "QTVOutBeginBlitting": starts a run with its first frame (a capture output starts a new
    // file), "QTVOutBlitFrame": one more frame, "QTVOutEndBlitting": ends the run. A blit
    // returns once the frame has been handed to the output: for a display, after it has been
    // presented (it is on the screen); for the capture output, after it has been written to the
    // file (in the system's cache). The frame may be released on return.
    OperationResult BeginBlitting(SessionKey session, InterfaceRef<Kino::IVideoFrame> const& frame);
    OperationResult BlitFrame(SessionKey session, InterfaceRef<Kino::IVideoFrame> const& frame);
    OperationResult EndBlitting(SessionKey session);

    // "QTVOutEndUsingComponent": ends a run still open and gives the component back (the
    // window closes).
    OperationResult EndUsingComponent(SessionKey session);

    // The session has ended: as EndUsingComponent, without an answer. Nothing when it had no
    // component.
    void SessionEnded(SessionKey session);

    // The capture file of the session's current (or last) run; empty when there is none.
    std::string CaptureFilePath(SessionKey session);

    struct Impl;

  private:
    std::unique_ptr<Impl> mImpl;
};

// Where the capture output writes and where the locks live when Settings leaves them empty.
std::string DefaultCaptureDirectory();
std::string DefaultLockDirectory();

}  // namespace vireo::server::vout
