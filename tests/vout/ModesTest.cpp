// Display mode records, component matching and where a frame lands in a window.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "Modes.h"

namespace vireo::test::vout {
namespace {

namespace vout = ::vireo::server::vout;

vout::ScreenMode Screen(int width, int height, int refresh) {
    vout::ScreenMode mode;
    mode.width = width;
    mode.height = height;
    mode.refreshHz = refresh;
    mode.bitsPerPixel = 32;
    mode.nativeFormat = 0x16161804;
    mode.formatName = "RGB888";
    return mode;
}

TEST(DisplayModes, FixedPointIsSixteenDotSixteenRoundedAndClamped) {
    EXPECT_EQ(vout::ToFixed(59.94), 3928228);  // 59.94 * 65536 = 3928227.84
    EXPECT_EQ(vout::ToFixed(-1.5), -98304);
    EXPECT_EQ(vout::ToFixed(1e9), 0x7FFFFFFF);
    EXPECT_EQ(vout::ToFixed(-1e9), static_cast<std::int32_t>(0x80000000u));
    EXPECT_EQ(vout::ToFixed(std::nan("")), 0);
}

TEST(DisplayModes, RecordsCarryBothFormsAndStableIdentifiers) {
    std::vector<vout::ScreenMode> const screens = {Screen(1920, 1080, 60), Screen(1280, 720, 0),
                                                   Screen(1280, 720, 50)};
    std::vector<vout::DisplayModeInfo> const list = vout::MakeModeList(screens, 96.0, 100.5);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].mRefresh_Fixed, 60 << 16);
    EXPECT_FLOAT_EQ(list[0].mRefresh_Float, 60.0f);
    EXPECT_EQ(list[0].mResolution_YFixed, (100 << 16) + 0x8000);
    EXPECT_FLOAT_EQ(list[0].mResolution_YFloat, 100.5f);
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

    // The identifier wins over the position; an unknown one is not replaced by the atom.
    EXPECT_EQ(vout::FindMode(list, 1, list[1].mDisplayModeID), 1);
    EXPECT_EQ(vout::FindMode(list, 2, 0), 1);
    EXPECT_EQ(vout::FindMode(list, 4, 0), -1);
    EXPECT_EQ(vout::FindMode(list, 1, 12345), -1);
    EXPECT_EQ(vout::FindMode({}, 1, 0), -1);
}

TEST(ComponentDescriptions, ZeroMatchesAnyAndTheMaskSelectsFlags) {
    vout::ComponentDescription display = vout::MakeDescription(vout::DisplaySubType(3));
    display.mQTComponentDesc_componentFlags = 0x5;
    EXPECT_NE(vout::DisplaySubType(100), vout::DisplaySubType(0));

    vout::ComponentDescription wanted;
    EXPECT_TRUE(vout::DescriptionMatches(wanted, display));
    wanted.mQTComponentDesc_componentSubType = vout::kCaptureSubType;
    EXPECT_FALSE(vout::DescriptionMatches(wanted, display));
    wanted = display;
    wanted.mQTComponentDesc_componentManufacturer = 0x41424344;
    EXPECT_FALSE(vout::DescriptionMatches(wanted, display));
    wanted = display;
    wanted.mQTComponentDesc_componentFlags = 0x4;
    wanted.mQTComponentDesc_componentFlagsMask = 0x4;
    EXPECT_TRUE(vout::DescriptionMatches(wanted, display));
    wanted.mQTComponentDesc_componentFlagsMask = 0x3;  // 0x4 & 0x3 differs from 0x5 & 0x3
    EXPECT_FALSE(vout::DescriptionMatches(wanted, display));
}

TEST(FramePlacement, ThePictureKeepsItsAspectAndIsCentredAndFileNamesAreSafe) {
    struct Case {
        std::uint32_t width, height;
        basemediatypes::PixelAspectRatio par;
        int outWidth, outHeight, x, y, w, h;
    } const cases[] = {
        {640, 480, {1, 1}, 1280, 720, 160, 0, 960, 720},   // pillarbox
        {100, 100, {2, 1}, 1280, 720, 0, 40, 1280, 640},   // wide pixels
        {720, 576, {16, 15}, 1024, 768, 0, 0, 1024, 768},  // PAL 4:3
        {720, 480, {0, 0}, 720, 960, 0, 240, 720, 480},    // unknown: square
        {0, 10, {1, 1}, 100, 100, 0, 0, 0, 0},             // nothing to draw
        {10, 10, {1, 1}, 0, 100, 0, 0, 0, 0},              // nowhere to draw
        {32768, 1, {1, 1}, 100, 100, 0, 49, 100, 1},       // never 0 high
    };
    for (Case const& c : cases) {
        vout::Placement const p = vout::FitFrame(c.width, c.height, c.par, c.outWidth, c.outHeight);
        EXPECT_EQ(std::vector<int>({p.x, p.y, p.width, p.height}),
                  std::vector<int>({c.x, c.y, c.w, c.h}))
            << c.width << "x" << c.height << " in " << c.outWidth << "x" << c.outHeight;
    }
    EXPECT_EQ(vout::SafeFileNamePart("My App/../x y\xC3\xA9", 100), "My_App_.._x_y__");
    EXPECT_EQ(vout::SafeFileNamePart("abcdef", 3), "abc");
}

}  // namespace
}  // namespace vireo::test::vout
