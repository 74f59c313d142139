#include "VoutTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "Orb/ObjectModel.h"
// Xlib last: its macros (None, Status, Bool) would clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include "TimeScale.h"

extern char** environ;

// LeakSanitizer (asan preset): what SDL's video leaves behind on purpose. libdbus keeps its
// connection to the session bus until the process ends (SDL opens it for the screen saver and
// input methods); SDL's own state is kept, unfreed, after the X connection was lost (see
// DisplayThread). Read by LeakSanitizer only; nothing else calls it.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\n"
           "leak:libSDL2-2.0.so\n";
}

// ThreadSanitizer (tsan preset): once its connection is lost, Xlib unlocks its display lock a
// second time on the way out of the failing call (libX11's own code, in the display-loss test's
// child). Only mutex misuse inside libX11 is suppressed. Read by ThreadSanitizer only.
extern "C" const char* __tsan_default_suppressions() {
    return "mutex:libX11.so.6\n";
}

namespace vireo::test::vout {
namespace {

using namespace std::chrono;

// Reads into `buffered` until it holds a newline, the descriptor ends or `deadline` passes.
bool ReadLineFrom(int fd, std::string& buffered, std::string& line,
                  steady_clock::time_point deadline) {
    for (;;) {
        std::size_t const end = buffered.find('\n');
        if (end != std::string::npos) {
            line = buffered.substr(0, end);
            buffered.erase(0, end + 1);
            return true;
        }
        auto const left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        int const ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        char chunk[256];
        ssize_t const n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        buffered.append(chunk, static_cast<std::size_t>(n));
    }
}

pid_t Spawn(std::vector<std::string> const& args, posix_spawn_file_actions_t* actions) {
    std::vector<char*> argv;
    for (std::string const& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], actions, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    return pid;
}

void Reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// A frame that claims more rows than it has bytes for.
class ShortFrame final : public Orb::PrivateImplementation<ShortFrame, Kino::IVideoFrame> {
  public:
    static constexpr std::array<basekit::utility::Guid, 2> kInterfaceIds{Kino::IVideoFrame::kIID,
                                                                         OrbUnknown::kIID};
    ShortFrame(std::uint32_t width, std::uint32_t height)
        : mWidth(width), mHeight(height), mBytes(4u * width, 0x55) {}

    std::uint32_t GetWidth() const override { return mWidth; }
    std::uint32_t GetHeight() const override { return mHeight; }
    std::uint32_t GetRowBytes() const override { return 4 * mWidth; }
    std::uint32_t GetPixelFormat() const override { return Kino::kPixelFormat_BGRA; }
    basemediatypes::PixelFormatProperties GetPixelFormatProperties() const override { return 0; }
    basemediatypes::PixelAspectRatio GetPixelAspectRatio() const override { return {1, 1}; }
    std::int32_t GetFieldOrder() const override { return Kino::kFieldOrder_Progressive; }
    void const* GetPixels() const override { return mBytes.data(); }
    std::uint64_t GetDataSize() const override { return mBytes.size(); }

  private:
    std::uint32_t mWidth;
    std::uint32_t mHeight;
    std::vector<std::uint8_t> mBytes;
};

}  // namespace

InterfaceRef<Kino::IVideoFrame> MakePatternFrame(std::uint32_t width, std::uint32_t height,
                                                 std::uint32_t fourcc, std::uint32_t rowBytes,
                                                 unsigned seed,
                                                 basemediatypes::PixelAspectRatio par) {
    InterfaceRef<Kino::IWritableVideoFrame> frame = Pix::CreateVideoFrame(
        width, height, fourcc, 0x1234, par, Kino::kFieldOrder_UpperFirst, rowBytes);
    if (!frame) {
        throw std::runtime_error("cannot make a frame");
    }
    auto* bytes = static_cast<std::uint8_t*>(frame->GetMutablePixels());
    std::size_t const size = static_cast<std::size_t>(frame->GetRowBytes()) * height;
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + 31u * i);
    }
    return InterfaceRef<Kino::IVideoFrame>(frame.get());
}

InterfaceRef<Kino::IVideoFrame> MakeShortFrame(std::uint32_t width, std::uint32_t claimedHeight) {
    return InterfaceRef<Kino::IVideoFrame>(ShortFrame::Make(width, claimedHeight).get());
}

std::vector<std::uint8_t> FrameBytes(Kino::IVideoFrame const& frame) {
    auto const* bytes = static_cast<std::uint8_t const*>(frame.GetPixels());
    return std::vector<std::uint8_t>(
        bytes, bytes + static_cast<std::size_t>(frame.GetRowBytes()) * frame.GetHeight());
}

::vireo::server::vout::UseComponentData CaptureRequest(std::string const& application) {
    ::vireo::server::vout::UseComponentData request;
    request.mQTComponentDescription.mQTComponentDesc_componentType = 0x766F7574u;     // 'vout'
    request.mQTComponentDescription.mQTComponentDesc_componentSubType = 0x63617074u;  // 'capt'
    request.mQTAtomIDForDisplayMode = 1;
    request.mApplicationName = application;
    return request;
}

Child::Child(std::vector<std::string> const& args) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    mPid = Spawn(args, &actions);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    mIn = in[1];
    mOut = out[0];
    if (mPid < 0) {
        throw std::runtime_error("cannot start " + args.front());
    }
}

Child::~Child() {
    Kill();
    if (mIn >= 0) {
        ::close(mIn);
    }
    if (mOut >= 0) {
        ::close(mOut);
    }
}

bool Child::ReadLine(std::string& line, int timeoutMs) {
    return ReadLineFrom(mOut, mBuffered, line, steady_clock::now() + milliseconds(timeoutMs));
}

void Child::WriteLine(std::string const& line) {
    std::string const text = line + "\n";
    if (::write(mIn, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("cannot write to the child");
    }
}

void Child::Kill() {
    if (mPid > 0) {
        ::kill(mPid, SIGKILL);
        Reap(mPid);
        mPid = -1;
    }
}

int Child::CloseAndWait() {
    if (mIn >= 0) {
        ::close(mIn);
        mIn = -1;
    }
    if (mPid <= 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(mPid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    mPid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Child::WaitFor(int timeoutMs) {
    if (mIn >= 0) {
        ::close(mIn);
        mIn = -1;
    }
    auto const deadline = steady_clock::now() + milliseconds(timeoutMs);
    while (mPid > 0) {
        int status = 0;
        pid_t const done = ::waitpid(mPid, &status, WNOHANG);
        if (done == mPid) {
            mPid = -1;
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        if (done < 0 && errno != EINTR) {
            return false;
        }
        if (steady_clock::now() > deadline) {
            return false;
        }
        ::usleep(10000);
    }
    return false;
}

VirtualScreen::VirtualScreen(int width, int height) : mWidth(width), mHeight(height) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return;
    }
    // The server writes the display number it chose to descriptor 3.
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 3);
    ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string const screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    mPid = Spawn(
        {"Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp", "-br", "-noreset"},
        &actions);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    std::string buffered;
    std::string line;
    if (mPid > 0 &&
        ReadLineFrom(pipeFds[0], buffered, line,
                     steady_clock::now() + vireo::test::Scaled(milliseconds(20000))) &&
        !line.empty()) {
        mName = ":" + line;
    }
    ::close(pipeFds[0]);
}

VirtualScreen::~VirtualScreen() {
    if (mPid > 0) {
        ::kill(mPid, SIGTERM);
        Reap(mPid);
    }
}

struct ScreenShot::Data {
    Display* display = nullptr;
    XImage* image = nullptr;
};

ScreenShot::ScreenShot(std::string const& display, int width, int height) : mData(new Data) {
    mData->display = XOpenDisplay(display.c_str());
    if (mData->display != nullptr) {
        mData->image = XGetImage(mData->display, DefaultRootWindow(mData->display), 0, 0,
                                 static_cast<unsigned>(width), static_cast<unsigned>(height),
                                 AllPlanes, ZPixmap);
    }
}

ScreenShot::~ScreenShot() {
    if (mData->image != nullptr) {
        XDestroyImage(mData->image);
    }
    if (mData->display != nullptr) {
        XCloseDisplay(mData->display);
    }
    delete mData;
}

bool ScreenShot::Valid() const {
    return mData->image != nullptr;
}

unsigned long ScreenShot::Pixel(int x, int y) const {
    return XGetPixel(mData->image, x, y) & 0xFFFFFFul;
}

std::string HolderPath() {
    return VOUT_HOLDER_PATH;
}

}  // namespace vireo::test::vout
