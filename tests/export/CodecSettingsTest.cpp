// What an export's settings do: the codec's private settings are written in one compact form
// and the reader refuses anything else; the codec's options and the generic settings (key-frame
// interval, frame reordering, data-rate limit, quality, grey, inverted alpha) change what is
// written.
#include <gtest/gtest.h>

#include <algorithm>

#include "ExportTestSupport.h"
#include "engine/FourCC.h"
#include "engine/Movie.h"
#include "export/Catalogue.h"
#include "export/CodecSettings.h"
#include "export/ExportErrors.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vireo::test::exporting {
namespace {

using engine::MakeFourCC;

constexpr std::uint32_t kAvc1 = MakeFourCC("avc1");
constexpr std::uint32_t kBGRA = MakeFourCC("BGRA");

std::int32_t Read(std::string const& text, std::uint32_t codec, ex::CodecSettings& out) {
    std::string why;
    return ex::ReadCodecSettings(reinterpret_cast<std::uint8_t const*>(text.data()), text.size(),
                                 codec, out, why);
}

std::int32_t Read(std::string const& text, std::uint32_t codec = kAvc1) {
    ex::CodecSettings ignored;
    return Read(text, codec, ignored);
}

std::string AsText(std::vector<std::uint8_t> const& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST(CodecSettings, WrittenFormIsCompactAndOrdered) {
    ex::CodecSettings settings;
    settings.codec = kAvc1;
    settings.options["bFrames"] = {false, 3, ""};
    settings.options["preset"] = {true, 0, "fast"};
    settings.options["unknown"] = {false, 1, ""};   // left out: the codec has no such option
    settings.options["bitrate"] = {false, 50, ""};  // left out: below its minimum
    EXPECT_EQ(AsText(ex::WriteCodecSettings(settings)),
              "{\"format\":\"vireo-codec-settings\",\"version\":1,\"codec\":\"avc1\","
              "\"options\":{\"preset\":\"fast\",\"bFrames\":3}}");
}

TEST(CodecSettings, EmptyDataAndOmittedOptionsMeanDefaults) {
    ex::CodecSettings settings;
    ASSERT_EQ(Read("", kAvc1, settings), 0);
    EXPECT_TRUE(settings.options.empty());
    EXPECT_EQ(settings.Choice("preset"), "medium");
    EXPECT_EQ(settings.Number("keyFrameInterval"), 24);
    ASSERT_EQ(Read(" {\"options\": {\"bFrames\": 0}, \"codec\": \"avc1\", \"version\": 1,\n"
                   "  \"format\": \"vireo-codec-settings\"} ",
                   kAvc1, settings),
              0);
    EXPECT_EQ(settings.Number("bFrames"), 0);
    EXPECT_TRUE(settings.Has("bFrames"));
    EXPECT_FALSE(settings.Has("preset"));
    EXPECT_EQ(settings.Choice("preset"), "medium");
}

TEST(CodecSettings, ReaderRefusesEverythingElse) {
    std::string const head =
        "{\"format\":\"vireo-codec-settings\",\"version\":1,\"codec\":\"avc1\",";
    std::vector<std::pair<const char*, std::string>> const cases = {
        {"not JSON", "hello"},
        {"truncated", head + "\"options\":{"},
        {"trailing bytes", head + "\"options\":{}}x"},
        {"an array", "[1,2]"},
        {"missing options",
         "{\"format\":\"vireo-codec-settings\",\"version\":1,\"codec\":\"avc1\"}"},
        {"extra member", head + "\"options\":{},\"extra\":1}"},
        {"repeated member", head + "\"codec\":\"avc1\",\"options\":{}}"},
        {"repeated option", head + "\"options\":{\"bFrames\":1,\"bFrames\":2}}"},
        {"other format", "{\"format\":\"other\",\"version\":1,\"codec\":\"avc1\",\"options\":{}}"},
        {"later version",
         "{\"format\":\"vireo-codec-settings\",\"version\":2,\"codec\":\"avc1\","
         "\"options\":{}}"},
        {"another codec",
         "{\"format\":\"vireo-codec-settings\",\"version\":1,\"codec\":\"apch\","
         "\"options\":{}}"},
        {"unknown option", head + "\"options\":{\"speed\":1}}"},
        {"choice given as number", head + "\"options\":{\"preset\":3}}"},
        {"number given as text", head + "\"options\":{\"bFrames\":\"3\"}}"},
        {"number above its bound", head + "\"options\":{\"bFrames\":17}}"},
        {"number below its bound", head + "\"options\":{\"keyFrameInterval\":0}}"},
        {"no such choice", head + "\"options\":{\"preset\":\"ludicrous\"}}"},
        {"fraction", head + "\"options\":{\"bFrames\":2.0}}"},
        {"beyond int64", head + "\"options\":{\"bFrames\":9223372036854775808}}"},
        {"boolean", head + "\"options\":{\"bFrames\":true}}"},
        {"nested object", head + "\"options\":{\"bFrames\":{}}}"},
        {"options as array", head + "\"options\":[]}"},
        {"malformed UTF-8", head + "\"options\":{\"preset\":\"\xC3\x28\"}}"},
        {"NUL inside", head + std::string("\"options\":{}\0}", 15)},
        {"too long", head + "\"options\":{}}" + std::string(5000, ' ')},
    };
    for (auto const& [what, text] : cases) {
        EXPECT_EQ(Read(text), ex::kErrCodecSettingsUnreadable) << what;
    }
    // Codecs without options take only an empty option set.
    EXPECT_EQ(Read("{\"format\":\"vireo-codec-settings\",\"version\":1,\"codec\":\"2vuy\","
                   "\"options\":{\"quantiser\":1}}",
                   MakeFourCC("2vuy")),
              ex::kErrCodecSettingsUnreadable);
    EXPECT_EQ(Read("{\"format\":\"vireo-codec-settings\",\"version\":1,\"codec\":\"2vuy\","
                   "\"options\":{}}",
                   MakeFourCC("2vuy")),
              0);
}

// Three pictures exported with the codec's options `settings`.
Written ExportWith(std::uint32_t fourcc, ex::CodecSettings settings) {
    ex::ExportSettings s = VideoSettings("", fourcc, 256, 120, 3);
    settings.codec = fourcc;
    s.mVideoCodecPrefsData = ex::WriteCodecSettings(settings);
    return ExportAndDemux(s, 3);
}

ex::CodecSettings With(const char* name, std::int64_t number) {
    ex::CodecSettings s;
    s.options[name] = {false, number, ""};
    return s;
}

ex::CodecSettings With(const char* name, const char* choice) {
    ex::CodecSettings s;
    s.options[name] = {true, 0, choice};
    return s;
}

TEST(CodecSettings, ExportsHonourTheOptions) {
    EXPECT_EQ(ExportWith(kAvc1, With("profile", "baseline")).movie.videoProfile,
              FF_PROFILE_H264_CONSTRAINED_BASELINE);
    EXPECT_EQ(ExportWith(kAvc1, With("profile", "main")).movie.videoProfile, FF_PROFILE_H264_MAIN);
    int const jpeg = ExportWith(MakeFourCC("jpeg"), With("chroma", "4:4:4")).movie.videoPixelFormat;
    EXPECT_TRUE(jpeg == AV_PIX_FMT_YUVJ444P || jpeg == AV_PIX_FMT_YUV444P);
    EXPECT_EQ(ExportWith(MakeFourCC("AVdh"), With("profile", "hqx")).movie.videoPixelFormat,
              AV_PIX_FMT_YUV422P10);

    auto const bytes = [](std::uint32_t fourcc, ex::CodecSettings const& settings) {
        return ExportWith(fourcc, settings).bytes;
    };
    EXPECT_GT(bytes(MakeFourCC("apch"), With("quantiser", std::int64_t(1))),
              bytes(MakeFourCC("apch"), With("quantiser", std::int64_t(64))));
    EXPECT_GT(bytes(MakeFourCC("png "), With("compression", std::int64_t(0))),
              bytes(MakeFourCC("png "), With("compression", std::int64_t(9))));
    EXPECT_GT(bytes(MakeFourCC("AVdh"), With("profile", "hq")),
              bytes(MakeFourCC("AVdh"), With("profile", "lb")));
    EXPECT_GT(bytes(kAvc1, With("rateControl", "bitrate")),  // 10 Mbit/s for 3 tiny frames
              bytes(kAvc1, ex::CodecSettings()));
}

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
