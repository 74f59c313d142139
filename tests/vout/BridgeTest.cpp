// The video outputs through the library and the real server: a run of blits into a capture
// file, a killed client whose component comes free, and a frame on a (virtual) screen (one
// holder across processes is shown in LockTest).
#include <filesystem>

#include "LibraryFixture.h"
#include "VoutTestSupport.h"
#include "vout/CaptureFile.h"

namespace vireo::test::vout {
namespace {

using vireo::test::library::ClientRef;
using VireoServer::QTVOutComponent;
using VireoServer::QTVOutOperationResult;
using VireoServer::QTVOutUseComponentData;

constexpr std::uint32_t kCapture = 0x63617074u;  // 'capt'

QTVOutUseComponentData CaptureUse(std::u16string const& application) {
    QTVOutUseComponentData data;
    data.mQTComponentDescription.mQTComponentDesc_componentType = 0x766F7574u;  // 'vout'
    data.mQTComponentDescription.mQTComponentDesc_componentSubType = kCapture;
    data.mQTAtomIDForDisplayMode = 1;
    data.mApplicationName = application;
    return data;
}

// A real server whose outputs use this test's own directories and, unless a test sets one, no
// display.
class BridgeTest : public vireo::test::library::LibraryTest {
  protected:
    std::string CaptureDir() const { return mDir.Path() + "/captures"; }

    TempDir mDir{"vout-bridge"};
    ScopedEnv mCaptureEnv{"VIREO_VOUT_CAPTURE_DIR", (mDir.Path() + "/captures").c_str()};
    ScopedEnv mRuntimeEnv{"XDG_RUNTIME_DIR", MakeRuntime(mDir.Path())};
    ScopedEnv mWayland{"WAYLAND_DISPLAY", nullptr};
    ScopedEnv mDisplay{"DISPLAY", nullptr};

  private:
    static char const* MakeRuntime(std::string const& base) {
        static thread_local std::string path;
        path = base + "/runtime";
        ::mkdir(path.c_str(), 0700);
        return path.c_str();
    }
};

TEST_F(BridgeTest, TheCaptureFileHoldsTheBlittedFramesAndAKilledClientFreesItsComponent) {
    UseServer(ServerKind::Real);
    ClientRef client = VireoClient::Create();
    std::vector<QTVOutComponent> components;
    client->GetQTVOutComponents(components);
    // The capture output comes last, after any display the machine has. Without X11 and Wayland
    // (unset above) and without DRM devices there is none: SDL's stand-ins that show nothing
    // are not listed as displays.
    ASSERT_FALSE(components.empty());
    if (!std::filesystem::exists("/dev/dri")) {
        EXPECT_EQ(components.size(), 1u) << components.front().mVOutComponentName;
    }
    QTVOutComponent const capture = components.back();
    EXPECT_EQ(capture.mQTComponentDescription.mQTComponentDesc_componentSubType, kCapture);
    EXPECT_NE(capture.mVOutComponentName.find(CaptureDir()), std::string::npos)
        << capture.mVOutComponentName;
    ASSERT_EQ(capture.mDisplayModes.size(), 1u);

    QTVOutUseComponentData use = CaptureUse(u"Bridge \u00dc App");
    client->QTVOutBeginUsingComponent(use);
    ASSERT_EQ(use.mVOutOperationResult.mOperationResult, 0);
    EXPECT_EQ(use.mVOutOperationResult.mApplicationUsingComponentName, u"Bridge \u00dc App");
    EXPECT_EQ(use.mDisplayModeID, capture.mDisplayModes[0].mDisplayModeID);
    VireoServer::QTVGetActiveDisplayModeData active;
    client->QTVOutGetActiveDisplayModeData(active);
    EXPECT_EQ(active.mDisplayModeInfo.mDisplayModeName, capture.mDisplayModes[0].mDisplayModeName);

    // Three formats, with row padding, each frame different.
    std::vector<InterfaceRef<Kino::IVideoFrame>> const frames{
        MakePatternFrame(64, 48, Kino::kPixelFormat_BGRA, 320, 1),
        MakePatternFrame(62, 20, Kino::kPixelFormat_2vuy, 0, 2),
        MakePatternFrame(17, 9, Kino::kPixelFormat_b64a, 256, 3)};
    QTVOutOperationResult result;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (i == 0) {
            client->QTVOutBeginBlitting(frames[i], result);
        } else {
            client->QTVOutBlitFrame(frames[i], result);
        }
        EXPECT_EQ(result.mOperationResult, 0) << "frame " << i;
    }
    client->QTVOutEndBlitting(result);
    EXPECT_EQ(result.mOperationResult, 0);
    client->QTVOutEndUsingComponent(result);
    EXPECT_EQ(result.mOperationResult, 0);

    std::vector<std::string> files;
    for (auto const& entry : std::filesystem::directory_iterator(CaptureDir())) {
        if (entry.path().extension() == ".vcap") {
            files.push_back(entry.path());
        }
    }
    ASSERT_EQ(files.size(), 1u);
    ::vireo::server::vout::CaptureReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(files[0], error)) << error;
    ::vireo::server::vout::CapturedFrame captured;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        ASSERT_TRUE(reader.Next(captured, error)) << "frame " << i << ": " << error;
        EXPECT_EQ(captured.header.width, frames[i]->GetWidth());
        EXPECT_EQ(captured.pixels, FrameBytes(*frames[i])) << "frame " << i;
    }
    EXPECT_FALSE(reader.Next(captured, error));
    EXPECT_EQ(error, "");

    // Another host takes the component and is killed: its session ends on the server, which
    // gives the component back.
    ChildProcess peer({VOUT_BRIDGE_PEER_PATH, "Doomed Peer"});
    std::string line;
    ASSERT_TRUE(peer.ReadLine(line, Scaled(std::chrono::seconds(30))));
    ASSERT_EQ(line, "0 Doomed Peer");
    use = CaptureUse(u"Survivor");
    client->QTVOutBeginUsingComponent(use);
    EXPECT_EQ(use.mVOutOperationResult.mOperationResult, 2);
    EXPECT_EQ(use.mVOutOperationResult.mApplicationUsingComponentName, u"Doomed Peer");
    peer.Kill();
    EXPECT_TRUE(WaitUntil(
        [&] {
            use = CaptureUse(u"Survivor");
            client->QTVOutBeginUsingComponent(use);
            return use.mVOutOperationResult.mOperationResult == 0;
        },
        Scaled(std::chrono::milliseconds(10000))))
        << use.mVOutOperationResult.mOperationResult;
    client->QTVOutEndUsingComponent(result);
    EXPECT_EQ(result.mOperationResult, 0);
}

// The whole way to the screen: the frame crosses in shared memory and the server shows it.
TEST_F(BridgeTest, TheDisplayShowsABlittedFrame) {
    VirtualScreen screen(320, 240);
    ASSERT_TRUE(screen.Started()) << "Xvfb (Debian package xvfb) could not be started";
    ScopedEnv display("DISPLAY", screen.Name().c_str());
    UseServer(ServerKind::Real);
    ClientRef client = VireoClient::Create();
    std::vector<QTVOutComponent> components;
    client->GetQTVOutComponents(components);
    ASSERT_EQ(components.size(), 2u) << "the screen, then the capture output";
    ASSERT_FALSE(components[0].mDisplayModes.empty());
    QTVOutUseComponentData use;
    use.mQTComponentDescription = components[0].mQTComponentDescription;
    use.mDisplayModeID = components[0].mDisplayModes[0].mDisplayModeID;
    use.mApplicationName = u"Screen App";
    client->QTVOutBeginUsingComponent(use);
    ASSERT_EQ(use.mVOutOperationResult.mOperationResult, 0);

    // Left half red, right half blue.
    InterfaceRef<Kino::IVideoFrame> const frame =
        MakeFrame(320, 240, Kino::kPixelFormat_BGRA, {1, 1}, [](std::uint8_t* row, std::uint32_t) {
            for (std::uint32_t x = 0; x < 320; ++x) {
                bool const left = x < 160;
                row[4 * x + 0] = left ? 0x00 : 0xFF;
                row[4 * x + 1] = 0x00;
                row[4 * x + 2] = left ? 0xFF : 0x00;
                row[4 * x + 3] = 0xFF;
            }
        });
    QTVOutOperationResult result;
    client->QTVOutBeginBlitting(frame, result);
    ASSERT_EQ(result.mOperationResult, 0) << result.mQTResultCode;
    // The blit is answered once the frame was presented; the X server may still be drawing it.
    unsigned long left = 0;
    unsigned long right = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
            ScreenShot shot(screen.Name(), 320, 240);
            left = shot.Valid() ? shot.Pixel(40, 120) : 0;
            right = shot.Valid() ? shot.Pixel(280, 120) : 0;
            return left == 0xFF0000ul && right == 0x0000FFul;
        },
        Scaled(std::chrono::milliseconds(10000))))
        << std::hex << left << " " << right;
    client->QTVOutEndUsingComponent(result);
    EXPECT_EQ(result.mOperationResult, 0);
}

}  // namespace
}  // namespace vireo::test::vout
