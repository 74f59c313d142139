// The video outputs through the library and the real server: a run of blits into a capture
// file and a killed client whose component comes free. The server's blit methods are the same
// for every output: the display itself is shown in DisplayTest, one holder across processes in
// LockTest.
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

// A real server whose outputs use this test's own directories and no display.
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
    // The capture output comes last, after any display the machine has.
    ASSERT_FALSE(components.empty());
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

}  // namespace
}  // namespace vireo::test::vout
