#include "VoutTestSupport.h"

#include <array>
#include <chrono>
#include <stdexcept>

#include "Orb/ObjectModel.h"
// Xlib last: its macros (None, Status, Bool) would clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include "TimeScale.h"

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

VirtualScreen::VirtualScreen(int width, int height)
    : mServer({"Xvfb", "-displayfd", "1", "-screen", "0",
               std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp",
               "-br", "-noreset"},
              true) {
    std::string line;
    if (mServer.ReadLine(line, vireo::test::Scaled(std::chrono::milliseconds(20000))) &&
        !line.empty()) {
        mName = ":" + line;
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
