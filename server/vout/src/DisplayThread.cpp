#include "DisplayThread.h"

#include <SDL.h>
#include <SDL_syswm.h>
#include <dlfcn.h>
// SDL_syswm.h brings Xlib's macros; these two clash with names used here.
#undef Status
#undef None

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <optional>
#include <thread>

#include "basekit/debug/Failure.h"

namespace vireo::server::vout {
namespace {

constexpr auto kPumpInterval = std::chrono::milliseconds(50);

Status DisplayError(std::string const& what) {
    return Status::Fail(kVOutOutputFailed, kResultDisplayError, what + ": " + SDL_GetError());
}

struct Window {
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    SDL_Texture* texture = nullptr;
    Uint32 textureFormat = 0;
    int textureWidth = 0;
    int textureHeight = 0;
    // The frame in the texture.
    std::uint32_t frameWidth = 0;
    std::uint32_t frameHeight = 0;
    basemediatypes::PixelAspectRatio par;
};

void DestroyWindow(Window& w) {
    if (w.texture != nullptr) {
        SDL_DestroyTexture(w.texture);
    }
    if (w.renderer != nullptr) {
        SDL_DestroyRenderer(w.renderer);
    }
    if (w.window != nullptr) {
        SDL_DestroyWindow(w.window);
    }
    w = Window{};
}

// Draws the frame in the texture (black around it) and presents it.
Status Present(Window& w) {
    if (SDL_SetRenderDrawColor(w.renderer, 0, 0, 0, 255) != 0 || SDL_RenderClear(w.renderer) != 0) {
        return DisplayError("cannot clear the window");
    }
    if (w.texture != nullptr) {
        int outWidth = 0;
        int outHeight = 0;
        if (SDL_GetRendererOutputSize(w.renderer, &outWidth, &outHeight) != 0) {
            return DisplayError("cannot read the window size");
        }
        Placement const p = FitFrame(w.frameWidth, w.frameHeight, w.par, outWidth, outHeight);
        SDL_Rect const source{0, 0, static_cast<int>(w.frameWidth),
                              static_cast<int>(w.frameHeight)};
        SDL_Rect const target{p.x, p.y, p.width, p.height};
        if (SDL_RenderCopy(w.renderer, w.texture, &source, &target) != 0) {
            return DisplayError("cannot draw the frame");
        }
    }
    SDL_RenderPresent(w.renderer);
    return Status::Ok();
}

// b64a (16-bit big-endian A, R, G, B) into 8-bit B, G, R, A: the high byte of each component.
void ConvertB64aRows(Kino::IVideoFrame const& frame, void* target, int pitch) {
    auto const* source = static_cast<std::uint8_t const*>(frame.GetPixels());
    auto* out = static_cast<std::uint8_t*>(target);
    std::uint32_t const width = frame.GetWidth();
    for (std::uint32_t y = 0; y < frame.GetHeight(); ++y) {
        std::uint8_t const* in = source + static_cast<std::size_t>(y) * frame.GetRowBytes();
        std::uint8_t* row = out + static_cast<std::size_t>(y) * static_cast<std::size_t>(pitch);
        for (std::uint32_t x = 0; x < width; ++x) {
            row[4 * x + 0] = in[8 * x + 6];
            row[4 * x + 1] = in[8 * x + 4];
            row[4 * x + 2] = in[8 * x + 2];
            row[4 * x + 3] = in[8 * x + 0];
        }
    }
}

}  // namespace

// Xlib ends the process when the connection to the X server breaks (the server stopped, the
// user logged out), which would take every session of this server down with the display. Since
// libX11 1.7 both of its steps can be replaced: the I/O error handler (whose default prints and
// exits) and the per-connection exit handler. The module then treats the display as lost. SDL
// loads libX11 itself, so the functions are looked up there rather than linked.
using XIOHandler = int (*)(Display*);
using SetXIOHandler = XIOHandler (*)(XIOHandler);
using XExitHandler = void (*)(Display*, void*);
using SetXExitHandler = void (*)(Display*, XExitHandler, void*);

int OnDisplayIOError(Display*) {
    return 0;
}

void OnDisplayConnectionLost(Display*, void* flag) {
    static_cast<std::atomic<bool>*>(flag)->store(true);
}

void KeepProcessWhenDisplayIsLost(std::atomic<bool>& lost) {
    // SDL tells which connection it uses only through a window.
    SDL_Window* probe = SDL_CreateWindow("", 0, 0, 1, 1, SDL_WINDOW_HIDDEN);
    if (probe == nullptr) {
        return;
    }
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWindowWMInfo(probe, &info) == SDL_TRUE && info.subsystem == SDL_SYSWM_X11) {
        if (void* library = ::dlopen("libX11.so.6", RTLD_LAZY | RTLD_NOLOAD)) {
            auto const setExit =
                reinterpret_cast<SetXExitHandler>(::dlsym(library, "XSetIOErrorExitHandler"));
            auto const setError =
                reinterpret_cast<SetXIOHandler>(::dlsym(library, "XSetIOErrorHandler"));
            // Without the exit handler (libX11 before 1.7) nothing can keep Xlib from exiting.
            if (setExit != nullptr && setError != nullptr) {
                setError(&OnDisplayIOError);
                setExit(info.info.x11.display, &OnDisplayConnectionLost, &lost);
            }
            ::dlclose(library);
        }
    }
    SDL_DestroyWindow(probe);
}

// SDL loads the X libraries it uses when its video starts and unloads them when it stops, while
// some of their state (records kept per connection) is never freed: once a library is unloaded,
// that memory is out of everyone's reach and leak checkers report it on every later exit. The
// libraries are kept loaded for the life of the process instead (SDL's own loads then only count
// references).
void KeepDisplayLibrariesLoaded() {
    static bool const loaded = [] {
        for (char const* name :
             {"libX11.so.6", "libXext.so.6", "libXcursor.so.1", "libXfixes.so.3", "libXi.so.6",
              "libXrandr.so.2", "libXss.so.1", "libxkbcommon.so.0"}) {
            ::dlopen(name, RTLD_LAZY | RTLD_LOCAL);  // a library that is missing is not needed
        }
        return true;
    }();
    static_cast<void>(loaded);
}

struct DisplayThread::State {
    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{
        io.get_executor()};
    boost::asio::steady_timer pump{io};
    bool pumping = false;
    std::thread thread;
    // Touched on the display thread only.
    bool videoUp = false;
    std::atomic<bool> displayLost{false};  // set by Xlib's handler, on this thread
    bool videoAbandoned = false;           // the display was lost: SDL video is not used again
    std::map<int, Window> windows;
    int nextWindow = 1;

    Status StartVideo() {
        if (videoUp) {
            return Status::Ok();
        }
        if (videoAbandoned) {
            return Status::Fail(kVOutOutputFailed, kResultDisplayError,
                                "the connection to the display was lost earlier");
        }
        // The server handles its termination signals itself; SDL must not take them over.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        // An output screen stays up when another window takes the focus.
        SDL_SetHint(SDL_HINT_VIDEO_MINIMIZE_ON_FOCUS_LOSS, "0");
        SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
        // SDL's own renderer, presented without OpenGL, unless SDL_RENDER_DRIVER or
        // SDL_FRAMEBUFFER_ACCELERATION say otherwise: OpenGL loads libGLX, whose clean-up at
        // process exit waits for ever on a lost X connection.
        SDL_SetHintWithPriority(SDL_HINT_RENDER_DRIVER, "software", SDL_HINT_DEFAULT);
        SDL_SetHintWithPriority(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0", SDL_HINT_DEFAULT);
        KeepDisplayLibrariesLoaded();
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
            return DisplayError("no display system");
        }
        // With no display system in reach SDL falls back to drivers that show nothing anywhere
        // ("offscreen", "dummy"): a display output there would take frames and show none. They
        // count as no display system unless SDL_VIDEODRIVER asks for one of them by name.
        char const* driver = SDL_GetCurrentVideoDriver();
        char const* asked = std::getenv("SDL_VIDEODRIVER");
        if (driver != nullptr &&
            (std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0) &&
            (asked == nullptr || std::strcmp(asked, driver) != 0)) {
            SDL_QuitSubSystem(SDL_INIT_VIDEO);
            return Status::Fail(kVOutOutputFailed, kResultDisplayError,
                                std::string("no display system (only SDL's ") + driver +
                                    " driver, which shows nothing)");
        }
        videoUp = true;
        displayLost = false;
        KeepProcessWhenDisplayIsLost(displayLost);
        return Status::Ok();
    }

    // After work: when the display connection broke, the windows are gone with it. SDL is not
    // called again: its calls on a dead connection can wait for an answer for ever (closing a
    // window waits for the X server to confirm), so its state is left as it is and this process
    // lists no displays any more. The work's status becomes a failure.
    Status CheckDisplay(Status status) {
        if (!displayLost) {
            return status;
        }
        displayLost = false;
        pump.cancel();
        windows.clear();
        videoUp = false;
        videoAbandoned = true;
        return Status::Fail(kVOutOutputFailed, kResultDisplayError,
                            "the connection to the display was lost");
    }

    void StopVideo() {
        pump.cancel();
        for (auto& entry : windows) {
            DestroyWindow(entry.second);
        }
        windows.clear();
        if (videoUp) {
            SDL_QuitSubSystem(SDL_INIT_VIDEO);
            SDL_Quit();
            videoUp = false;
        }
    }

    void SchedulePump() {
        if (pumping || windows.empty()) {
            return;
        }
        pumping = true;
        pump.expires_after(kPumpInterval);
        pump.async_wait([this](boost::system::error_code const& error) {
            pumping = false;
            if (error) {
                return;
            }
            PumpEvents();
            CheckDisplay(Status::Ok());
            SchedulePump();
        });
    }

    void PumpEvents() {
        SDL_Event event;
        while (!displayLost && SDL_PollEvent(&event) != 0) {
            if (event.type != SDL_WINDOWEVENT) {
                continue;
            }
            Uint8 const what = event.window.event;
            if (what != SDL_WINDOWEVENT_EXPOSED && what != SDL_WINDOWEVENT_SIZE_CHANGED &&
                what != SDL_WINDOWEVENT_RESTORED) {
                continue;
            }
            for (auto& entry : windows) {
                if (SDL_GetWindowID(entry.second.window) == event.window.windowID) {
                    Present(entry.second);
                }
            }
        }
    }
};

namespace {

// Runs `work` on the display thread and waits for its status, at most `timeout`.
template <class Work>
Status RunOnDisplayThread(DisplayThread::State* state, std::chrono::milliseconds timeout,
                          Work work) {
    auto promise = std::make_shared<std::promise<Status>>();
    std::future<Status> future = promise->get_future();
    boost::asio::post(state->io, [state, promise, work = std::move(work)]() mutable {
        try {
            promise->set_value(state->CheckDisplay(work(*state)));
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("running work on the display thread");
            promise->set_value(
                Status::Fail(kVOutOutputFailed, kResultDisplayError, "the display work failed"));
        }
    });
    if (future.wait_for(timeout) != std::future_status::ready) {
        return Status::Fail(kVOutOutputFailed, kResultDisplayTimeout,
                            "the display did not answer in time");
    }
    try {
        return future.get();
    } catch (...) {
        BASEKIT_REPORT_CAUGHT("waiting for the display thread");
        return Status::Fail(kVOutOutputFailed, kResultDisplayError, "the display work was dropped");
    }
}

}  // namespace

DisplayThread::DisplayThread(std::chrono::milliseconds timeout)
    : mTimeout(timeout), mState(std::make_shared<State>()) {
    // The thread holds the state too, for the case that it is left behind (see the destructor).
    mState->thread = std::thread([keep = mState] {
        for (;;) {
            try {
                keep->io.run();
                return;
            } catch (...) {
                BASEKIT_REPORT_CAUGHT("running the display thread");
            }
        }
    });
}

DisplayThread::~DisplayThread() {
    State* state = mState.get();
    auto stopped = std::make_shared<std::promise<void>>();
    std::future<void> done = stopped->get_future();
    boost::asio::post(state->io, [state, stopped] {
        state->StopVideo();
        state->work.reset();
        stopped->set_value();
    });
    if (done.wait_for(mTimeout) == std::future_status::ready) {
        state->thread.join();
    } else {
        // The display thread is stuck in a display call that does not return (a display server
        // that stopped answering). It is left behind, holding its state, so that the server can
        // still shut down; it ends on its own if the call ever returns.
        state->thread.detach();
    }
}

Status DisplayThread::ListScreens(std::vector<ScreenInfo>& screens) {
    auto found = std::make_shared<std::vector<ScreenInfo>>();
    Status status = RunOnDisplayThread(mState.get(), mTimeout, [found](State& state) {
        Status started = state.StartVideo();
        if (!started.IsOk()) {
            return started;
        }
        SDL_PumpEvents();
        char const* driver = SDL_GetCurrentVideoDriver();
        char const* place = std::getenv("DISPLAY");
        if (driver != nullptr && std::strcmp(driver, "wayland") == 0) {
            place = std::getenv("WAYLAND_DISPLAY");
        }
        std::string const system = std::string(driver != nullptr ? driver : "video") + "-" +
                                   (place != nullptr ? place : "");
        int const count = SDL_GetNumVideoDisplays();
        for (int i = 0; i < count; ++i) {
            ScreenInfo screen;
            screen.index = i;
            char const* name = SDL_GetDisplayName(i);
            screen.name = name != nullptr ? name : "";
            screen.lockKey = SafeFileNamePart("display-" + system + "-" + std::to_string(i), 200);
            float horizontal = 0.0f;
            float vertical = 0.0f;
            if (SDL_GetDisplayDPI(i, nullptr, &horizontal, &vertical) == 0 && horizontal > 0.0f &&
                vertical > 0.0f) {
                screen.xDpi = horizontal;
                screen.yDpi = vertical;
            }
            auto const add = [&screen](SDL_DisplayMode const& mode) {
                ScreenMode m;
                m.width = mode.w;
                m.height = mode.h;
                m.refreshHz = mode.refresh_rate;
                m.bitsPerPixel = static_cast<int>(SDL_BYTESPERPIXEL(mode.format)) * 8;
                m.nativeFormat = mode.format;
                std::string formatName = SDL_GetPixelFormatName(mode.format);
                std::string const prefix = "SDL_PIXELFORMAT_";
                if (formatName.compare(0, prefix.size(), prefix) == 0) {
                    formatName.erase(0, prefix.size());
                }
                m.formatName = formatName;
                screen.modes.push_back(m);
            };
            int const modeCount = SDL_GetNumDisplayModes(i);
            for (int j = 0; j < modeCount; ++j) {
                SDL_DisplayMode mode{};
                if (SDL_GetDisplayMode(i, j, &mode) == 0) {
                    add(mode);
                }
            }
            SDL_DisplayMode desktop{};
            if (screen.modes.empty() && SDL_GetDesktopDisplayMode(i, &desktop) == 0) {
                add(desktop);
            }
            found->push_back(std::move(screen));
        }
        return Status::Ok();
    });
    if (status.IsOk()) {
        screens = std::move(*found);
    } else {
        screens.clear();
    }
    return status;
}

Status DisplayThread::OpenWindow(int screen, ScreenMode const& mode, int& window) {
    auto handle = std::make_shared<int>(0);
    Status status = RunOnDisplayThread(mState.get(), mTimeout, [=](State& state) {
        Status started = state.StartVideo();
        if (!started.IsOk()) {
            return started;
        }
        Window w;
        w.window = SDL_CreateWindow("Vireo video output", SDL_WINDOWPOS_UNDEFINED_DISPLAY(screen),
                                    SDL_WINDOWPOS_UNDEFINED_DISPLAY(screen), mode.width,
                                    mode.height, SDL_WINDOW_BORDERLESS | SDL_WINDOW_HIDDEN);
        if (w.window == nullptr) {
            return DisplayError("cannot open a window");
        }
        SDL_DisplayMode wanted{};
        wanted.format = mode.nativeFormat;
        wanted.w = mode.width;
        wanted.h = mode.height;
        wanted.refresh_rate = mode.refreshHz;
        if (SDL_SetWindowDisplayMode(w.window, &wanted) != 0 ||
            SDL_SetWindowFullscreen(w.window, SDL_WINDOW_FULLSCREEN) != 0) {
            Status failed = DisplayError("cannot switch the screen to the mode");
            DestroyWindow(w);
            return failed;
        }
        SDL_ShowWindow(w.window);
        w.renderer = SDL_CreateRenderer(w.window, -1, 0);
        if (w.renderer == nullptr) {
            w.renderer = SDL_CreateRenderer(w.window, -1, SDL_RENDERER_SOFTWARE);
        }
        if (w.renderer == nullptr) {
            Status failed = DisplayError("cannot draw in the window");
            DestroyWindow(w);
            return failed;
        }
        Status shown = Present(w);
        if (!shown.IsOk()) {
            DestroyWindow(w);
            return shown;
        }
        int const id = state.nextWindow++;
        state.windows[id] = w;
        *handle = id;
        state.SchedulePump();
        return Status::Ok();
    });
    if (status.code == kResultDisplayTimeout) {
        // The window may still open after the caller gave up: close it then, since nobody will.
        State* state = mState.get();
        boost::asio::post(state->io, [state, handle] {
            auto found = state->windows.find(*handle);
            if (found != state->windows.end()) {
                DestroyWindow(found->second);
                state->windows.erase(found);
            }
        });
        window = 0;
        return status;
    }
    window = *handle;
    return status;
}

Status DisplayThread::ShowFrame(int window, InterfaceRef<Kino::IVideoFrame> const& frame) {
    return RunOnDisplayThread(mState.get(), mTimeout, [window, frame](State& state) {
        auto found = state.windows.find(window);
        if (found == state.windows.end()) {
            return Status::Fail(kVOutOutputFailed, kResultDisplayError,
                                "the window is gone with its display");
        }
        Window& w = found->second;
        Kino::IVideoFrame const& f = *frame;
        std::uint32_t const fourcc = f.GetPixelFormat();
        Uint32 format = 0;
        int textureWidth = static_cast<int>(f.GetWidth());
        if (fourcc == Kino::kPixelFormat_BGRA || fourcc == Kino::kPixelFormat_b64a) {
            format = SDL_PIXELFORMAT_BGRA32;
        } else if (fourcc == Kino::kPixelFormat_2vuy) {
            format = SDL_PIXELFORMAT_UYVY;
            textureWidth = (textureWidth + 1) & ~1;  // a 4:2:2 row holds whole pixel pairs
        } else {
            return Status::Fail(kVOutBadFrame, 0, "the display cannot show this pixel format");
        }
        int const textureHeight = static_cast<int>(f.GetHeight());
        if (w.texture == nullptr || w.textureFormat != format || w.textureWidth != textureWidth ||
            w.textureHeight != textureHeight) {
            if (w.texture != nullptr) {
                SDL_DestroyTexture(w.texture);
            }
            w.texture = SDL_CreateTexture(w.renderer, format, SDL_TEXTUREACCESS_STREAMING,
                                          textureWidth, textureHeight);
            if (w.texture == nullptr) {
                return DisplayError("cannot make a texture for the frame");
            }
            SDL_SetTextureBlendMode(w.texture, SDL_BLENDMODE_NONE);
            w.textureFormat = format;
            w.textureWidth = textureWidth;
            w.textureHeight = textureHeight;
        }
        if (fourcc == Kino::kPixelFormat_b64a) {
            void* target = nullptr;
            int pitch = 0;
            if (SDL_LockTexture(w.texture, nullptr, &target, &pitch) != 0) {
                return DisplayError("cannot write the texture");
            }
            ConvertB64aRows(f, target, pitch);
            SDL_UnlockTexture(w.texture);
        } else {
            if (fourcc == Kino::kPixelFormat_2vuy) {
                bool const fullRange = (f.GetPixelFormatProperties() &
                                        basemediatypes::kPixelFormatProperties_FullRange) != 0;
                SDL_SetYUVConversionMode(fullRange ? SDL_YUV_CONVERSION_JPEG
                                                   : SDL_YUV_CONVERSION_AUTOMATIC);
            }
            if (SDL_UpdateTexture(w.texture, nullptr, f.GetPixels(),
                                  static_cast<int>(f.GetRowBytes())) != 0) {
                return DisplayError("cannot upload the frame");
            }
        }
        w.frameWidth = f.GetWidth();
        w.frameHeight = f.GetHeight();
        w.par = f.GetPixelAspectRatio();
        return Present(w);
    });
}

void DisplayThread::CloseWindow(int window) {
    RunOnDisplayThread(mState.get(), mTimeout, [window](State& state) {
        auto found = state.windows.find(window);
        if (found != state.windows.end()) {
            DestroyWindow(found->second);
            state.windows.erase(found);
        }
        // Let the display system see the window go before the next caller looks.
        SDL_PumpEvents();
        return Status::Ok();
    });
}

}  // namespace vireo::server::vout
