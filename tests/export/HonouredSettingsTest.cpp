// The export's generic settings change what is written: key-frame interval, frame reordering,
// data-rate limit, quality, grey and inverted alpha.
#include <gtest/gtest.h>

#include <algorithm>

#include "ExportTestSupport.h"
#include "engine/FourCC.h"
#include "engine/Movie.h"
#include "export/ExportErrors.h"

namespace vireo::test::exporting {
namespace {

using engine::MakeFourCC;

constexpr std::uint32_t kBGRA = MakeFourCC("BGRA");

int KeyFrames(DemuxedMovie const& movie) {
    return int(std::count(movie.videoKeyFrames.begin(), movie.videoKeyFrames.end(), true));
}

TEST(HonouredSettings, KeyFrameIntervalAndReordering) {
    for (const char* code : {"avc1", "rle "}) {
        ex::ExportSettings s =
            VideoSettings("", MakeFourCC(code[0], code[1], code[2], code[3]), 64, 48, 12);
        s.mDoKeyframes = true;
        s.mKeyframeEveryNFrames = 5;
        Written const every5 = ExportAndDemux(s, 12, true);
        EXPECT_EQ(every5.movie.videoKeyFrames,
                  (std::vector<bool>{true, false, false, false, false, true, false, false, false,
                                     false, true, false}))
            << code;
        EXPECT_EQ(every5.movie.reorderedPackets, 0) << code;
        s.mKeyframeEveryNFrames = 1;
        EXPECT_EQ(KeyFrames(ExportAndDemux(s, 12, true).movie), 12) << code;
    }
    ex::ExportSettings s = VideoSettings("", MakeFourCC("avc1"), 64, 48, 12);
    EXPECT_EQ(ExportAndDemux(s, 12).movie.reorderedPackets, 0);
    s.mReorderFrames = true;
    EXPECT_GT(ExportAndDemux(s, 12).movie.reorderedPackets, 0);
}

TEST(HonouredSettings, DataRateLimitAndQuality) {
    ex::ExportSettings s = VideoSettings("", MakeFourCC("avc1"), 256, 120, 10);
    std::uintmax_t const free = ExportAndDemux(s, 10).bytes;
    s.mDoBitrate = true;
    s.mMaxBitrate = 0.05;  // 50 kbit/s: 250 bytes a frame at 25 fps
    std::uintmax_t const limited = ExportAndDemux(s, 10).bytes;
    EXPECT_LT(limited * 2, free);

    ex::ExportSettings jpeg = VideoSettings("", MakeFourCC("jpeg"), 256, 120, 2);
    jpeg.mVideoCodecQuality = 100;
    std::uintmax_t const low = ExportAndDemux(jpeg, 2).bytes;
    jpeg.mVideoCodecQuality = 1000;
    EXPECT_GT(ExportAndDemux(jpeg, 2).bytes, low * 3 / 2);
}

TEST(HonouredSettings, GreyAndInvertedAlpha) {
    ScratchDirectory dir;
    ex::ExportService service;
    ex::ExportSettings grey = VideoSettings(dir.File("grey.mov"), MakeFourCC("png "), 16, 8, 1);
    grey.mUse8BitGrayscale = true;
    ASSERT_EQ(ExportFrames(service, grey, kBGRA, 1), 0);
    ex::ExportSettings inverted =
        VideoSettings(dir.File("inverted.mov"), MakeFourCC("png "), 16, 8, 1);
    inverted.mVideoBitDepth = 32;
    inverted.mInvertAlpha = true;
    ASSERT_EQ(ExportFrames(service, inverted, kBGRA, 1, true), 0);  // with alpha

    std::vector<std::uint8_t> picture(16 * 8 * 4);
    std::int32_t error = 0;
    auto movie = engine::Movie::Open(grey.mFilePath, {}, error);
    ASSERT_TRUE(movie);
    ASSERT_EQ(movie->ReadVideoFrame(0, kBGRA, picture.data(), 64, 0, 0), 0);
    for (std::size_t i = 0; i < picture.size(); i += 4) {
        ASSERT_TRUE(picture[i] == picture[i + 1] && picture[i + 1] == picture[i + 2]) << i;
    }
    movie = engine::Movie::Open(inverted.mFilePath, {}, error);
    ASSERT_TRUE(movie);
    ASSERT_EQ(movie->ReadVideoFrame(0, kBGRA, picture.data(), 64, 0, 0), 0);
    auto const submitted = MakeFrame(kBGRA, 16, 8, 0, true);
    for (std::size_t i = 0; i < picture.size(); i += 4) {
        ASSERT_EQ(picture[i + 3], 255 - (*submitted.bytes)[i + 3]) << i;
        ASSERT_EQ(picture[i], (*submitted.bytes)[i]) << i;
    }
}

}  // namespace
}  // namespace vireo::test::exporting
