#pragma once
// Helpers of the video-output tests: frames with known pixels, a frame that misstates its size,
// and a private virtual X server.
#include <cstdint>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Kino/VideoFrame.h"
#include "Orb/InterfaceRef.h"
#include "Pix/Pix.h"
#include "vout/Records.h"

namespace vireo::test::vout {

// A frame in private memory whose every byte (row padding included) is
// (seed + 31 * index) & 0xFF, so that frames of a test differ from one another.
InterfaceRef<Kino::IVideoFrame> MakePatternFrame(std::uint32_t width, std::uint32_t height,
                                                 std::uint32_t fourcc, std::uint32_t rowBytes,
                                                 unsigned seed,
                                                 basemediatypes::PixelAspectRatio par = {1, 1});

// A frame whose pixels `fill` writes, one row at a time: fill(row pointer, y).
template <class Fill>
InterfaceRef<Kino::IVideoFrame> MakeFrame(std::uint32_t width, std::uint32_t height,
                                          std::uint32_t fourcc,
                                          basemediatypes::PixelAspectRatio par, Fill fill) {
    InterfaceRef<Kino::IWritableVideoFrame> frame =
        Pix::CreateVideoFrame(width, height, fourcc, 0, par, Kino::kFieldOrder_Progressive);
    if (!frame) {
        return InterfaceRef<Kino::IVideoFrame>();
    }
    auto* pixels = static_cast<std::uint8_t*>(frame->GetMutablePixels());
    for (std::uint32_t y = 0; y < height; ++y) {
        fill(pixels + static_cast<std::size_t>(y) * frame->GetRowBytes(), y);
    }
    return InterfaceRef<Kino::IVideoFrame>(frame.get());
}

// A frame that says it holds `claimedHeight` rows but has bytes for one row only.
InterfaceRef<Kino::IVideoFrame> MakeShortFrame(std::uint32_t width, std::uint32_t claimedHeight);

// The first rowBytes * height bytes of `frame`.
std::vector<std::uint8_t> FrameBytes(Kino::IVideoFrame const& frame);

// The capture component's description with only type and subtype set, and a request for it.
::vireo::server::vout::UseComponentData CaptureRequest(std::string const& application);

// Xvfb on a display number it picks itself (-displayfd), with a black root window; stopped
// with SIGTERM so that it removes its socket and lock file.
class VirtualScreen {
  public:
    VirtualScreen(int width, int height);
    ~VirtualScreen() { mServer.Kill(SIGTERM); }

    bool Started() const { return !mName.empty(); }
    std::string const& Name() const { return mName; }  // ":N"
    pid_t Pid() const { return mServer.Pid(); }

  private:
    ::vireo::test::ChildProcess mServer;
    std::string mName;
};

// The top left of the screen of X display `display` as its server has it (the root window).
class ScreenShot {
  public:
    ScreenShot(std::string const& display, int width, int height);
    ~ScreenShot();
    ScreenShot(ScreenShot const&) = delete;
    ScreenShot& operator=(ScreenShot const&) = delete;
    bool Valid() const;
    // 0xRRGGBB
    unsigned long Pixel(int x, int y) const;

  private:
    struct Data;
    Data* mData;
};

// The path of the helper program that holds a component (HolderMain.cpp).
std::string HolderPath();

}  // namespace vireo::test::vout
