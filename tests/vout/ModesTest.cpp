// Display mode records, component matching and where a frame lands in a window.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "Modes.h"

namespace vireo::test::vout {
namespace {

namespace vout = ::vireo::server::vout;

vout::ScreenMode Screen(int width, int height, int refresh, std::uint32_t format = 0x16161804) {
    vout::ScreenMode mode;
    mode.width = width;
    mode.height = height;
    mode.refreshHz = refresh;
    mode.bitsPerPixel = 32;
    mode.nativeFormat = format;
    mode.formatName = "RGB888";
    return mode;
}

TEST(DisplayModes, FixedPointIsSixteenDotSixteenRoundedAndClamped) {
    EXPECT_EQ(vout::ToFixed(60.0), 0x003C0000);
    EXPECT_EQ(vout::ToFixed(72.0), 0x00480000);
    EXPECT_EQ(vout::ToFixed(59.94), 3928228);  // 59.94 * 65536 = 3928227.84
    EXPECT_EQ(vout::ToFixed(-1.5), -98304);
    EXPECT_EQ(vout::ToFixed(0.0), 0);
    EXPECT_EQ(vout::ToFixed(1e9), 0x7FFFFFFF);
    EXPECT_EQ(vout::ToFixed(-1e9), static_cast<std::int32_t>(0x80000000u));
    EXPECT_EQ(vout::ToFixed(std::nan("")), 0);
}

TEST(DisplayModes, RecordsCarryBothFormsAndStableIdentifiers) {
    std::vector<vout::ScreenMode> const screens = {Screen(1920, 1080, 60), Screen(1280, 720, 0),
                                                   Screen(1280, 720, 50)};
    std::vector<vout::DisplayModeInfo> const list = vout::MakeModeList(screens, 96.0, 100.5);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].mWidth, 1920);
    EXPECT_EQ(list[0].mHeight, 1080);
    EXPECT_EQ(list[0].mRefresh_Fixed, 60 << 16);
    EXPECT_FLOAT_EQ(list[0].mRefresh_Float, 60.0f);
    EXPECT_EQ(list[0].mResolution_XFixed, 96 << 16);
    EXPECT_FLOAT_EQ(list[0].mResolution_XFloat, 96.0f);
    EXPECT_EQ(list[0].mResolution_YFixed, (100 << 16) + 0x8000);
    EXPECT_FLOAT_EQ(list[0].mResolution_YFloat, 100.5f);
    EXPECT_EQ(list[0].mQTPixelType, 32);
    EXPECT_EQ(list[0].mDisplayModeName, "1920 x 1080 @ 60 Hz, 32-bit (RGB888)");
    EXPECT_EQ(list[1].mDisplayModeName, "1280 x 720, 32-bit (RGB888)");
    std::set<std::int32_t> ids;
    for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i].mQTAtomIDForMode, static_cast<std::int32_t>(i + 1));
        EXPECT_GT(list[i].mDisplayModeID, 0);
        ids.insert(list[i].mDisplayModeID);
    }
    EXPECT_EQ(ids.size(), 3u) << "modes that differ only in refresh rate have their own ids";

    // The same modes listed in another order (or by another server) keep their identifiers.
    std::vector<vout::DisplayModeInfo> const again =
        vout::MakeModeList({screens[2], screens[0]}, 72.0, 72.0);
    EXPECT_EQ(again[0].mDisplayModeID, list[2].mDisplayModeID);
    EXPECT_EQ(again[1].mDisplayModeID, list[0].mDisplayModeID);
    EXPECT_EQ(again[0].mQTAtomIDForMode, 1);

    // Two entries of one mode still get distinct identifiers.
    std::vector<vout::DisplayModeInfo> const twice =
        vout::MakeModeList({screens[0], screens[0]}, 72, 72);
    EXPECT_NE(twice[0].mDisplayModeID, twice[1].mDisplayModeID);
}

TEST(DisplayModes, TheModeIdentifierWinsOverItsPosition) {
    std::vector<vout::DisplayModeInfo> const list =
        vout::MakeModeList({Screen(800, 600, 60), Screen(640, 480, 60)}, 72, 72);
    EXPECT_EQ(vout::FindMode(list, 1, list[1].mDisplayModeID), 1);
    EXPECT_EQ(vout::FindMode(list, 2, 0), 1);
    EXPECT_EQ(vout::FindMode(list, 1, 0), 0);
    EXPECT_EQ(vout::FindMode(list, 3, 0), -1);
    EXPECT_EQ(vout::FindMode(list, 1, 12345), -1) << "an unknown id is not replaced by the atom";
    EXPECT_EQ(vout::FindMode({}, 1, 0), -1);

    vout::DisplayModeInfo const capture = vout::CaptureModeInfo();
    EXPECT_EQ(capture.mQTAtomIDForMode, 1);
    EXPECT_NE(capture.mDisplayModeID, 0);
    EXPECT_EQ(capture.mDisplayModeName, "Frames as received");
}

TEST(ComponentDescriptions, ZeroMatchesAnyAndTheMaskSelectsFlags) {
    vout::ComponentDescription display = vout::MakeDescription(vout::DisplaySubType(3));
    display.mQTComponentDesc_componentFlags = 0x5;
    EXPECT_EQ(display.mQTComponentDesc_componentSubType, 0x64703033u);  // 'dp03'
    EXPECT_EQ(vout::DisplaySubType(12), 0x64703132u);                   // 'dp12'
    EXPECT_NE(vout::DisplaySubType(100), vout::DisplaySubType(0));

    vout::ComponentDescription wanted;
    EXPECT_TRUE(vout::DescriptionMatches(wanted, display));
    wanted.mQTComponentDesc_componentSubType = vout::kCaptureSubType;
    EXPECT_FALSE(vout::DescriptionMatches(wanted, display));
    wanted = display;
    EXPECT_TRUE(vout::DescriptionMatches(wanted, display));
    wanted.mQTComponentDesc_componentManufacturer = 0x41424344;
    EXPECT_FALSE(vout::DescriptionMatches(wanted, display));
    wanted = display;
    wanted.mQTComponentDesc_componentFlags = 0x4;
    wanted.mQTComponentDesc_componentFlagsMask = 0x4;
    EXPECT_TRUE(vout::DescriptionMatches(wanted, display));
    wanted.mQTComponentDesc_componentFlagsMask = 0x3;  // 0x4 & 0x3 differs from 0x5 & 0x3
    EXPECT_FALSE(vout::DescriptionMatches(wanted, display));
}

TEST(FramePlacement, ThePictureKeepsItsAspectAndIsCentred) {
    auto const expect = [](vout::Placement p, int x, int y, int w, int h) {
        EXPECT_EQ(p.x, x);
        EXPECT_EQ(p.y, y);
        EXPECT_EQ(p.width, w);
        EXPECT_EQ(p.height, h);
    };
    expect(vout::FitFrame(1920, 1080, {1, 1}, 1280, 720), 0, 0, 1280, 720);
    expect(vout::FitFrame(640, 480, {1, 1}, 1280, 720), 160, 0, 960, 720);   // pillarbox
    expect(vout::FitFrame(100, 100, {2, 1}, 1280, 720), 0, 40, 1280, 640);   // wide pixels
    expect(vout::FitFrame(720, 576, {16, 15}, 1024, 768), 0, 0, 1024, 768);  // PAL 4:3
    expect(vout::FitFrame(720, 480, {0, 0}, 720, 960), 0, 240, 720, 480);    // unknown: square
    expect(vout::FitFrame(0, 10, {1, 1}, 100, 100), 0, 0, 0, 0);
    expect(vout::FitFrame(10, 10, {1, 1}, 0, 100), 0, 0, 0, 0);
    expect(vout::FitFrame(32768, 1, {1, 1}, 100, 100), 0, 49, 100, 1);  // never 0 high
}

TEST(FileNames, UnsafeBytesAreReplacedAndTheLengthCut) {
    EXPECT_EQ(vout::SafeFileNamePart("My App/../x y\xC3\xA9", 100), "My_App_.._x_y__");
    EXPECT_EQ(vout::SafeFileNamePart("abcdef", 3), "abc");
    EXPECT_EQ(vout::SafeFileNamePart("", 3), "");
}

}  // namespace
}  // namespace vireo::test::vout
