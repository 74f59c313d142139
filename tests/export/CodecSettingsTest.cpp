// The codec's private settings: what the writer writes reads back; the reader refuses anything
// else; and the options an export carries change what the encoder makes.
#include <gtest/gtest.h>

#include "ExportTestSupport.h"
#include "engine/FourCC.h"
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

}  // namespace
}  // namespace vireo::test::exporting
