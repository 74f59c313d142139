#pragma once
// The one thread on which every SDL video call of the module runs.
//
// SDL's video functions must be called from the thread that initialised SDL video, and events
// must be pumped there too. DisplayThread owns that thread (a Boost.Asio io_context run by one
// std::thread): SDL video is initialised on it at the first call that needs a display and shut
// down on it when the DisplayThread is destroyed. The public calls may come from any thread;
// each posts its work to the display thread and waits for it, at most `timeout` (a display that
// stops answering gives kVOutOutputFailed / kResultDisplayTimeout; the work still runs later,
// holding what it needs). While a window is open the thread pumps SDL's events every 50 ms and
// draws the last frame again when the window was uncovered.
//
// When the connection to the X server breaks, the process goes on (Xlib would end it): the
// windows are gone, SDL is not called again, and no display is listed any more. Should the
// thread be stuck in a display call when the DisplayThread is destroyed, it is left behind after
// `timeout` (holding its own state) rather than waited for.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "Kino/VideoFrame.h"
#include "Modes.h"
#include "Orb/InterfaceRef.h"
#include "Output.h"

namespace vireo::server::vout {

struct ScreenInfo {
    int index = 0;
    std::string name;     // the display system's name of the screen
    std::string lockKey;  // names the screen among every display of the machine
    double xDpi = 72.0;
    double yDpi = 72.0;
    std::vector<ScreenMode> modes;  // in the display system's order
};

class DisplayThread {
  public:
    explicit DisplayThread(std::chrono::milliseconds timeout);
    // Closes every window and shuts SDL video down on the display thread, then joins it.
    ~DisplayThread();
    DisplayThread(DisplayThread const&) = delete;
    DisplayThread& operator=(DisplayThread const&) = delete;

    // The screens; none when no display system can be reached (status says why).
    Status ListScreens(std::vector<ScreenInfo>& screens);
    // Opens a borderless full-screen window on `screen` in `mode`; `window` receives its handle.
    Status OpenWindow(int screen, ScreenMode const& mode, int& window);
    // Shows `frame` in `window`, scaled to fit with its pixel aspect kept, and returns once it
    // has been presented. BGRA and 2vuy frames are uploaded from their own pixels; b64a frames
    // are converted into the texture as they are read.
    Status ShowFrame(int window, InterfaceRef<Kino::IVideoFrame> const& frame);
    // Closes `window` (the display's own mode comes back).
    void CloseWindow(int window);

    struct State;

  private:
    std::chrono::milliseconds mTimeout;
    std::shared_ptr<State> mState;
};

}  // namespace vireo::server::vout
