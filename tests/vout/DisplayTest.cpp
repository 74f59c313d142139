// The display output on a private virtual X server: its modes are the screen's, blitted frames
// appear on the screen with their pixels (read back from the root window), the picture keeps its
// pixel aspect, and giving the component back closes the window.
#include <gtest/gtest.h>

#include <signal.h>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "TestSupport.h"
#include "TimeScale.h"
#include "VoutTestSupport.h"
#include "vout/VideoOutputs.h"

namespace vireo::test::vout {
namespace {

namespace vout = ::vireo::server::vout;
using Frame = InterfaceRef<Kino::IVideoFrame>;

constexpr int kWidth = 640;
constexpr int kHeight = 360;

bool Near(unsigned long pixel, unsigned long expected, int tolerance) {
    for (int shift = 0; shift < 24; shift += 8) {
        int const a = static_cast<int>((pixel >> shift) & 0xFF);
        int const b = static_cast<int>((expected >> shift) & 0xFF);
        if (std::abs(a - b) > tolerance) {
            return false;
        }
    }
    return true;
}

struct Probe {
    int x;
    int y;
    unsigned long rgb;
};

class DisplayTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        sScreen = new VirtualScreen(kWidth, kHeight);
        if (sScreen->Started()) {
            sDisplayEnv = new vireo::test::ScopedEnv("DISPLAY", sScreen->Name().c_str());
        }
    }
    static void TearDownTestSuite() {
        delete sDisplayEnv;
        sDisplayEnv = nullptr;
        delete sScreen;
        sScreen = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(sScreen->Started()) << "Xvfb (Debian package xvfb) could not be started";
        vout::Settings settings;
        settings.lockDirectory = mDir.Path() + "/locks";
        settings.captureDirectory = mDir.Path() + "/captures";
        mOutputs = std::make_unique<vout::VideoOutputs>(settings);
    }

    // Waits until every probe shows its colour (within `tolerance` per component).
    ::testing::AssertionResult ScreenShows(std::vector<Probe> const& probes, int tolerance) {
        auto const deadline =
            std::chrono::steady_clock::now() + Scaled(std::chrono::milliseconds(10000));
        std::string last;
        for (;;) {
            ScreenShot shot(sScreen->Name(), kWidth, kHeight);
            if (!shot.Valid()) {
                return ::testing::AssertionFailure() << "cannot read the screen";
            }
            last.clear();
            for (Probe const& probe : probes) {
                unsigned long const got = shot.Pixel(probe.x, probe.y);
                if (!Near(got, probe.rgb, tolerance)) {
                    char text[96];
                    std::snprintf(text, sizeof text, "(%d,%d) is %06lx, not %06lx; ", probe.x,
                                  probe.y, got, probe.rgb);
                    last += text;
                }
            }
            if (last.empty()) {
                return ::testing::AssertionSuccess();
            }
            if (std::chrono::steady_clock::now() > deadline) {
                return ::testing::AssertionFailure() << last;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // Takes display 0 in its first mode for session `session`.
    vout::UseComponentData Take(vout::SessionKey session, std::string const& application) {
        std::vector<vout::Component> const components = mOutputs->GetComponents();
        EXPECT_GE(components.size(), 2u);
        vout::UseComponentData request;
        request.mQTComponentDescription = components.at(0).mQTComponentDescription;
        request.mQTAtomIDForDisplayMode = components.at(0).mDisplayModes.at(0).mQTAtomIDForMode;
        request.mDisplayModeID = components.at(0).mDisplayModes.at(0).mDisplayModeID;
        request.mApplicationName = application;
        return mOutputs->BeginUsingComponent(session, request);
    }

    static VirtualScreen* sScreen;
    static vireo::test::ScopedEnv* sDisplayEnv;
    vireo::test::TempDir mDir{"vout-display"};
    std::unique_ptr<vout::VideoOutputs> mOutputs;
};

VirtualScreen* DisplayTest::sScreen = nullptr;
vireo::test::ScopedEnv* DisplayTest::sDisplayEnv = nullptr;

TEST_F(DisplayTest, TheDisplayOutputListsTheVirtualScreensModes) {
    struct sigaction termBefore {};
    struct sigaction intBefore {};
    ::sigaction(SIGTERM, nullptr, &termBefore);
    ::sigaction(SIGINT, nullptr, &intBefore);
    std::vector<vout::Component> const components = mOutputs->GetComponents();
    // Starting the display system leaves the process's termination signals alone.
    struct sigaction termAfter {};
    struct sigaction intAfter {};
    ::sigaction(SIGTERM, nullptr, &termAfter);
    ::sigaction(SIGINT, nullptr, &intAfter);
    EXPECT_EQ(termAfter.sa_handler, termBefore.sa_handler);
    EXPECT_EQ(intAfter.sa_handler, intBefore.sa_handler);

    ASSERT_EQ(components.size(), 2u) << "one screen, then the capture output";
    vout::Component const& display = components[0];
    EXPECT_EQ(display.mQTComponentDescription.mQTComponentDesc_componentSubType, 0x64703030u);
    EXPECT_EQ(display.mVOutComponentName.rfind("Display 0", 0), 0u) << display.mVOutComponentName;
    bool foundScreenSize = false;
    for (vout::DisplayModeInfo const& mode : display.mDisplayModes) {
        foundScreenSize |= mode.mWidth == kWidth && mode.mHeight == kHeight;
        EXPECT_EQ(mode.mQTPixelType, 32) << "24-bit colour in 32-bit pixels";
        EXPECT_GT(mode.mResolution_XFloat, 0.0f);
    }
    EXPECT_TRUE(foundScreenSize);
}

TEST_F(DisplayTest, BlittedFramesAppearOnTheScreenWithTheirPixels) {
    vout::UseComponentData const use = Take(1, "Screen App");
    ASSERT_EQ(use.mVOutOperationResult.mOperationResult, vout::kVOutOperationSucceeded);
    EXPECT_EQ(mOutputs->GetActiveDisplayModeData(1).mDisplayModeInfo.mDisplayModeID,
              use.mDisplayModeID);

    // BGRA, four quadrants, the size of the screen.
    unsigned long const colours[4] = {0xFF0000, 0x00FF00, 0x0000FF, 0xC86432};
    auto const quadrant = [&](std::uint32_t x, std::uint32_t y) {
        return colours[(y < kHeight / 2 ? 0 : 2) + (x < kWidth / 2 ? 0 : 1)];
    };
    Frame const bgra = MakeFrame(kWidth, kHeight, Kino::kPixelFormat_BGRA, {1, 1},
                                 [&](std::uint8_t* row, std::uint32_t y) {
                                     for (std::uint32_t x = 0; x < kWidth; ++x) {
                                         unsigned long const rgb = quadrant(x, y);
                                         row[4 * x + 0] = rgb & 0xFF;
                                         row[4 * x + 1] = (rgb >> 8) & 0xFF;
                                         row[4 * x + 2] = (rgb >> 16) & 0xFF;
                                         row[4 * x + 3] = 0;  // alpha is not drawn
                                     }
                                 });
    ASSERT_EQ(mOutputs->BeginBlitting(1, bgra).mOperationResult, vout::kVOutOperationSucceeded);
    EXPECT_TRUE(ScreenShows({{0, 0, colours[0]},
                             {kWidth - 1, 0, colours[1]},
                             {0, kHeight - 1, colours[2]},
                             {kWidth - 1, kHeight - 1, colours[3]}},
                            0));

    // b64a: the high byte of each 16-bit component is shown.
    Frame const b64a =
        MakeFrame(kWidth / 2, kHeight / 2, Kino::kPixelFormat_b64a, {1, 1},
                  [](std::uint8_t* row, std::uint32_t y) {
                      bool const top = y < kHeight / 4;
                      std::uint8_t const argb[4] = {0xFF, std::uint8_t(top ? 0x12 : 0xF0),
                                                    std::uint8_t(top ? 0x34 : 0x0F), 0x56};
                      for (std::uint32_t i = 0; i < 4 * kWidth / 2; ++i) {
                          row[2 * i] = argb[i % 4];
                          row[2 * i + 1] = 0x99;
                      }
                  });
    ASSERT_EQ(mOutputs->BlitFrame(1, b64a).mOperationResult, vout::kVOutOperationSucceeded);
    EXPECT_TRUE(ScreenShows(
        {{kWidth / 2, kHeight / 8, 0x123456}, {kWidth / 2, 7 * kHeight / 8, 0xF00F56}}, 1));

    // 2vuy: grey levels (no colour difference), video range.
    Frame const yuv = MakeFrame(kWidth, kHeight, Kino::kPixelFormat_2vuy, {1, 1},
                                [](std::uint8_t* row, std::uint32_t) {
                                    for (std::uint32_t x = 0; x < kWidth; ++x) {
                                        row[2 * x] = 128;
                                        row[2 * x + 1] = x < kWidth / 2 ? 16 : 235;
                                    }
                                });
    ASSERT_EQ(mOutputs->BlitFrame(1, yuv).mOperationResult, vout::kVOutOperationSucceeded);
    EXPECT_TRUE(ScreenShows(
        {{kWidth / 4, kHeight / 2, 0x000000}, {3 * kWidth / 4, kHeight / 2, 0xFFFFFF}}, 6));

    EXPECT_EQ(mOutputs->EndBlitting(1).mOperationResult, vout::kVOutOperationSucceeded);
    EXPECT_EQ(mOutputs->EndUsingComponent(1).mOperationResult, vout::kVOutOperationSucceeded);
}

TEST_F(DisplayTest, ThePictureKeepsItsAspectGivingBackClosesTheWindowAndBadFormatsAreRefused) {
    ASSERT_EQ(Take(4, "Aspect").mVOutOperationResult.mOperationResult,
              vout::kVOutOperationSucceeded);
    // 100 x 100 pixels twice as wide as high: a 2:1 picture on a 16:9 screen, so black bars
    // above and below (640 x 320 at y = 20).
    Frame const wide =
        MakeFrame(100, 100, Kino::kPixelFormat_BGRA, {2, 1}, [](std::uint8_t* row, std::uint32_t) {
            for (int i = 0; i < 400; ++i) {
                row[i] = 0xFF;
            }
        });
    ASSERT_EQ(mOutputs->BeginBlitting(4, wide).mOperationResult, vout::kVOutOperationSucceeded);
    EXPECT_TRUE(ScreenShows({{kWidth / 2, 10, 0x000000},
                             {kWidth / 2, kHeight - 10, 0x000000},
                             {kWidth / 2, 30, 0xFFFFFF},
                             {5, kHeight / 2, 0xFFFFFF},
                             {kWidth - 5, kHeight / 2, 0xFFFFFF}},
                            0));

    // A second session is refused while the screen is in use.
    vout::UseComponentData const refused = Take(5, "Latecomer");
    EXPECT_EQ(refused.mVOutOperationResult.mOperationResult, vout::kVOutComponentInUse);
    EXPECT_EQ(refused.mVOutOperationResult.mApplicationUsingComponentName, "Aspect");

    EXPECT_EQ(mOutputs->EndUsingComponent(4).mOperationResult, vout::kVOutOperationSucceeded);
    EXPECT_TRUE(ScreenShows({{kWidth / 2, kHeight / 2, 0x000000}, {5, kHeight / 2, 0x000000}}, 0))
        << "the window is gone: the black root window shows again";
    EXPECT_EQ(Take(5, "Latecomer").mVOutOperationResult.mOperationResult,
              vout::kVOutOperationSucceeded);

    // Formats the display cannot show are refused; an odd-width 2vuy frame is fine.
    Frame const v210 = MakePatternFrame(48, 4, Kino::kPixelFormat_v210, 0, 1);
    EXPECT_EQ(mOutputs->BeginBlitting(5, v210).mOperationResult, vout::kVOutBadFrame);
    EXPECT_EQ(mOutputs->BlitFrame(5, v210).mOperationResult, vout::kVOutNotBlitting);
    Frame const odd = MakePatternFrame(33, 7, Kino::kPixelFormat_2vuy, 0, 2);
    EXPECT_EQ(mOutputs->BeginBlitting(5, odd).mOperationResult, vout::kVOutOperationSucceeded);
    EXPECT_EQ(mOutputs->BlitFrame(5, v210).mOperationResult, vout::kVOutBadFrame);
    EXPECT_EQ(mOutputs->BlitFrame(5, odd).mOperationResult, vout::kVOutOperationSucceeded);
    // The display thread shuts down with a window still open.
    mOutputs.reset();
}

// Xlib ends a process whose X connection breaks; a server must go on (its other sessions, its
// capture output) and must still exit. Run in a process of its own: SDL's state in that process
// stays bound to the lost connection.
TEST_F(DisplayTest, ALostDisplayLeavesTheServerRunningAndAbleToExit) {
    VirtualScreen doomed(320, 200);
    ASSERT_TRUE(doomed.Started());
    std::unique_ptr<ChildProcess> child;
    {
        vireo::test::ScopedEnv display("DISPLAY", doomed.Name().c_str());
        child = std::make_unique<ChildProcess>(std::vector<std::string>{
            HolderPath(), "--display-loss", mDir.Path() + "/locks", mDir.Path() + "/captures"});
    }
    std::string line;
    ASSERT_TRUE(child->ReadLine(line, Scaled(std::chrono::seconds(20))));
    ASSERT_EQ(line, "shown");
    ::kill(doomed.Pid(), SIGKILL);
    child->WriteLine("go");
    ASSERT_TRUE(child->ReadLine(line, Scaled(std::chrono::seconds(60))))
        << "the process ended or hung";
    // The blit fails with a display error, giving back works, and the capture output is still
    // listed (the lost display no longer is).
    EXPECT_EQ(line, std::to_string(vout::kVOutOutputFailed) + " " +
                        std::to_string(vout::kResultDisplayError) + " 0 1");
    EXPECT_EQ(child->CloseAndWait(Scaled(std::chrono::seconds(30))), 0)
        << "the process does not exit";
}

}  // namespace
}  // namespace vireo::test::vout
