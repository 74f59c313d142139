// What an export's start takes: every setting an export cannot honour is refused with its own
// code, settings at the edges of what is allowed start, and a refused export leaves nothing on
// disk. The catalogues say what the encoders really take: each codec exports at the limits it
// lists and is refused just beyond them; the DNxHD table holds only combinations the encoder has.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "EncoderTable.h"
#include "ExportTestSupport.h"
#include "engine/FourCC.h"
#include "export/Catalogue.h"
#include "export/CodecSettings.h"
#include "export/ExportErrors.h"

namespace vireo::test::exporting {
namespace {

using engine::MakeFourCC;

struct Case {
    const char* what;
    std::int32_t code;
    std::function<void(ex::ExportSettings&, ScratchDirectory const&)> change;
};

ex::ExportSettings& Codec(ex::ExportSettings& s, const char* code, std::uint32_t w,
                          std::uint32_t h) {
    s.mVideoCodecFourCC = std::int32_t(MakeFourCC(code[0], code[1], code[2], code[3]));
    s.mVideoFrameWidth = w;
    s.mVideoFrameHeight = h;
    return s;
}

ex::ExportSettings& Rate(ex::ExportSettings& s, std::uint32_t scale, std::uint32_t size) {
    s.mQTVideoTimescale = scale;
    s.mQTVideoSampleSize = size;
    return s;
}

ex::ExportSettings& Audio(ex::ExportSettings& s, const char* code, int rate, int channels) {
    s.mExportAudio = true;
    s.mAudioCodecFourCC = std::int32_t(MakeFourCC(code[0], code[1], code[2], code[3]));
    s.mAudioFrameRate = rate;
    s.mAudioNumChannels = std::uint32_t(channels);
    return s;
}

// Each setting an export cannot honour, and (code 0) settings at the edges of what is allowed.
std::vector<Case> const& Cases() {
    using S = ex::ExportSettings;
    static std::vector<Case> const cases = {
        {"nothing to export", ex::kErrNothingToExport, [](S& s, auto&) { s.mExportVideo = false; }},
        {"empty range", ex::kErrTimeRange,
         [](S& s, auto&) { s.mExportEndTime = s.mExportStartTime; }},
        {"relative path", ex::kErrInvalidPath, [](S& s, auto&) { s.mFilePath = "out.mov"; }},
        {"path without a name", ex::kErrInvalidPath,
         [](S& s, auto& d) { s.mFilePath = d.Path() + "/"; }},
        {"malformed UTF-8", ex::kErrInvalidPath,
         [](S& s, auto& d) { s.mFilePath = d.File("bad\xC3(.mov"); }},
        {"destination is a directory", ex::kErrDestinationIsDirectory,
         [](S& s, auto& d) {
             mkdir(d.File("folder").c_str(), 0700);
             s.mFilePath = d.File("folder");
         }},
        {"missing directory", ex::kErrDirectoryMissing,
         [](S& s, auto& d) { s.mFilePath = d.File("missing/out.mov"); }},
        {"unknown video codec", ex::kErrUnknownVideoCodec,
         [](S& s, auto&) { s.mVideoCodecFourCC = std::int32_t(MakeFourCC("zzzz")); }},
        {"odd H.264 width", ex::kErrFrameSize, [](S& s, auto&) { Codec(s, "avc1", 33, 16); }},
        {"DNxHD raster", ex::kErrFrameSize, [](S& s, auto&) { Codec(s, "AVdn", 1024, 576); }},
        {"no rate", ex::kErrFrameRate, [](S& s, auto&) { Rate(s, 0, 0).mVideoFrameRate = 0; }},
        {"over 1000 fps", ex::kErrFrameRate, [](S& s, auto&) { Rate(s, 1001, 1); }},
        {"DNxHD at 30 fps", ex::kErrFrameRate,
         [](S& s, auto&) {
             Codec(s, "AVdn", 1280, 720);
             Rate(s, 30, 1);
         }},
        {"half a pixel aspect ratio", ex::kErrPixelAspect,
         [](S& s, auto&) { s.mPixelAspectDen = 0; }},
        {"DNxHD full raster with 4:3 pixels", ex::kErrPixelAspect,
         [](S& s, auto&) {
             Codec(s, "AVdn", 1280, 720);
             s.mPixelAspectNum = 4;
             s.mPixelAspectDen = 3;
         }},
        {"unknown field code", ex::kErrFieldType, [](S& s, auto&) { s.mFieldType = 7; }},
        {"lower field first DNxHD", ex::kErrFieldType,
         [](S& s, auto&) { Codec(s, "AVdn", 1920, 1080).mFieldType = 2; }},
        {"interlaced H.264 baseline", ex::kErrFieldType,
         [](S& s, auto&) {
             Codec(s, "avc1", 32, 16);
             s.mFieldType = 1;
             ex::CodecSettings settings = ex::DefaultCodecSettings(MakeFourCC("avc1"));
             settings.options["profile"].choice = "baseline";
             s.mVideoCodecPrefsData = ex::WriteCodecSettings(settings);
         }},
        {"alpha in H.264", ex::kErrBitDepth,
         [](S& s, auto&) { Codec(s, "avc1", 32, 16).mVideoBitDepth = 32; }},
        {"grey ProRes", ex::kErrBitDepth,
         [](S& s, auto&) {
             Codec(s, "apcn", 32, 16);
             s.mUse8BitGrayscale = true;
         }},
        {"quality above lossless", ex::kErrQuality,
         [](S& s, auto&) { s.mVideoCodecQuality = 1025; }},
        {"key frames every 0 frames", ex::kErrKeyFrameInterval,
         [](S& s, auto&) {
             s.mDoKeyframes = true;
             s.mKeyframeEveryNFrames = 0;
         }},
        {"data rate for PNG", ex::kErrDataRate,
         [](S& s, auto&) {
             s.mDoBitrate = true;
             s.mMaxBitrate = 10;
         }},
        {"data rate not a number", ex::kErrDataRate,
         [](S& s, auto&) {
             Codec(s, "avc1", 32, 16);
             s.mDoBitrate = true;
             s.mMaxBitrate = std::nan("");
         }},
        {"settings of another codec", ex::kErrCodecSettingsUnreadable,
         [](S& s, auto&) {
             s.mVideoCodecPrefsData =
                 ex::WriteCodecSettings(ex::DefaultCodecSettings(MakeFourCC("avc1")));
         }},
        {"DNxHD level beyond its classes", ex::kErrCodecProfile,
         [](S& s, auto&) { Codec(s, "AVdn", 1280, 720).mAvidDNxHD_ProfileLevel = 9; }},
        {"DNxHD 10-bit 1080p at 29.97", ex::kErrCodecProfile,
         [](S& s, auto&) {
             Codec(s, "AVdn", 1920, 1080);
             Rate(s, 30000, 1001);
             s.mAvidDNxHD_ProfileLevel = 4;
         }},
        {"frames announced in RGBA", ex::kErrInputPixelFormat,
         [](S& s, auto&) { s.mQTPixelFormat = MakeFourCC("RGBA"); }},
        {"unknown audio codec", ex::kErrUnknownAudioCodec,
         [](S& s, auto&) { Audio(s, "mp3 ", 48000, 2); }},
        {"AAC at 44 kHz", ex::kErrAudioSampleRate, [](S& s, auto&) { Audio(s, "aac ", 44000, 2); }},
        {"PCM at 500 Hz", ex::kErrAudioSampleRate, [](S& s, auto&) { Audio(s, "sowt", 500, 2); }},
        {"nine channels", ex::kErrAudioChannels, [](S& s, auto&) { Audio(s, "alac", 48000, 9); }},
        {"24-bit submitted samples", ex::kErrAudioSampleType,
         [](S& s, auto&) { Audio(s, "sowt", 48000, 2).mAudioSampleType = 3; }},
        {"stereo layout for six channels", ex::kErrChannelLayout,
         [](S& s, auto&) { Audio(s, "sowt", 48000, 6).mChannelLayout = (101u << 16) | 2; }},
        {"unknown layout", ex::kErrChannelLayout,
         [](S& s, auto&) { Audio(s, "sowt", 48000, 2).mChannelLayout = (999u << 16) | 2; }},
        {"AAC at 1 kbit/s", ex::kErrAudioBitrate,
         [](S& s, auto&) { Audio(s, "aac ", 48000, 2).mAudioBitrate = 1000; }},
        {"caption of an odd byte count", ex::kErrCaptionData,
         [](S& s, auto&) { s.mExportCaptions.push_back({0, {0x94, 0x2C, 0x20}}); }},
        {"grey", 0, [](S& s, auto&) { s.mUse8BitGrayscale = true; }},
        {"depth left open", 0, [](S& s, auto&) { s.mVideoBitDepth = 0; }},
        {"pixel aspect open", 0, [](S& s, auto&) { s.mPixelAspectNum = s.mPixelAspectDen = 0; }},
        {"the host's ticks per frame", 0, [](S& s, auto&) { Rate(s, 0, 0); }},
        {"DNxHD thin raster, 4:3 from the raster", 0,
         [](S& s, auto&) {
             Codec(s, "AVdn", 1440, 1080).mFieldType = 1;
             s.mPixelAspectNum = s.mPixelAspectDen = 0;
         }},
        {"DNxHD 10-bit 1080p at 59.94", 0,
         [](S& s, auto&) {
             Rate(Codec(s, "AVdn", 1920, 1080), 60000, 1001).mAvidDNxHD_ProfileLevel = 4;
         }},
        {"H.264 data rate, lower field first", 0,
         [](S& s, auto&) {
             Codec(s, "avc1", 32, 16).mFieldType = 2;
             s.mDoBitrate = true;
             s.mMaxBitrate = 0.5;
         }},
        {"AAC at its lowest rate and bitrate", 0,
         [](S& s, auto&) { Audio(s, "aac ", 7350, 1).mAudioBitrate = 8000; }},
        {"16-bit PCM with a layout", 0,
         [](S& s, auto&) {
             Audio(s, "twos", 8000, 2).mChannelLayout = (147u << 16) | 2;
             s.mAudioSampleType = 2;
         }},
    };
    return cases;
}

// A refused export leaves nothing on disk; an accepted one is given up at once.
TEST(StartSettings, RefusedWithTheirCodeOrAcceptedAndNothingLeft) {
    for (Case const& c : Cases()) {
        SCOPED_TRACE(c.what);
        ScratchDirectory dir;
        ex::ExportSettings settings =
            VideoSettings(dir.File("out.mov"), MakeFourCC("png "), 32, 16, 4);
        c.change(settings, dir);
        ex::ExportService service;
        ex::ExportId const id = NewId();
        EXPECT_EQ(StartExport(service, 1, id, settings), c.code) << ex::ExportResultText(c.code);
        if (c.code == 0) {
            EXPECT_EQ(CompleteExport(service, 1, id, 1), ex::kErrAbandoned);
        }
        std::vector<std::string> names = dir.Names();
        names.erase(std::remove(names.begin(), names.end(), "folder"), names.end());
        EXPECT_TRUE(names.empty());
        EXPECT_EQ(service.ExportCount(), 0u);
    }
}

TEST(StartSettings, ReadOnlyDirectoryAndFileAreRefused) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "permissions mean nothing to root";
    }
    ScratchDirectory dir;
    ex::ExportService service;
    std::string const locked = dir.File("locked");
    mkdir(locked.c_str(), 0500);
    EXPECT_EQ(StartExport(service, 1, NewId(),
                          VideoSettings(locked + "/out.mov", MakeFourCC("png "), 32, 16, 2)),
              ex::kErrDirectoryNotWritable);
    std::string const readOnly = dir.File("read-only.mov");
    FILE* file = std::fopen(readOnly.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    chmod(readOnly.c_str(), 0400);
    EXPECT_EQ(
        StartExport(service, 1, NewId(), VideoSettings(readOnly, MakeFourCC("png "), 32, 16, 2)),
        ex::kErrDestinationReadOnly);
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"locked", "read-only.mov"}));
}

bool Contains(std::vector<std::uint32_t> const& list, const char* code) {
    return std::find(list.begin(), list.end(), MakeFourCC(code[0], code[1], code[2], code[3])) !=
           list.end();
}

// A settings dialog is offered where the codec has options to show in it, never for audio: an
// export has no private audio settings.
TEST(Catalogue, CodecsAreNamedAndOfferDialogsOnlyForTheirOptions) {
    for (auto const& codec : ex::ExportVideoCodecs()) {
        EXPECT_EQ(ex::CodecName(codec.subType), codec.name);
        EXPECT_EQ(codec.hasSetup, !ex::CodecOptions(codec.subType).empty()) << codec.name;
    }
    for (auto const& codec : ex::ExportAudioCodecs()) {
        EXPECT_EQ(ex::CodecName(codec.codecID), codec.codecName);
        EXPECT_FALSE(codec.hasSetup) << codec.codecName;
    }
}

// Each codec exports at its smallest size, and one step beyond its limits is refused.
TEST(Catalogue, SizeLimitsAreTheEncodersOwn) {
    for (auto const& codec : ex::ExportVideoCodecs()) {
        if (codec.subType == MakeFourCC("AVdn")) {
            continue;  // fixed rasters, below
        }
        ScratchDirectory dir;
        ex::ExportService service;
        ex::ExportSettings s =
            VideoSettings(dir.File("min.mov"), codec.subType, std::uint32_t(codec.minWidth),
                          std::uint32_t(codec.minHeight), 1);
        EXPECT_EQ(ExportFrames(service, s, MakeFourCC("BGRA"), 1), 0) << codec.name;
        for (auto [w, h] : {std::pair{codec.minWidth - 1, codec.minHeight},
                            std::pair{codec.minWidth, codec.minHeight - 1},
                            std::pair{codec.maxWidth + 1, codec.minHeight},
                            std::pair{codec.minWidth, codec.maxHeight + 1}}) {
            s.mVideoFrameWidth = std::uint32_t(std::max(0, w));
            s.mVideoFrameHeight = std::uint32_t(std::max(0, h));
            EXPECT_EQ(StartExport(service, 1, NewId(), s), ex::kErrFrameSize)
                << codec.name << " at " << w << "x" << h;
        }
    }
}

// Every size, rate, field order and class of the DNxHD table opens FFmpeg's encoder.
TEST(Catalogue, EveryDNxHDCombinationExports) {
    using server::exporting::detail::DNxHDRates;
    for (auto const& rate : DNxHDRates()) {
        ScratchDirectory dir;
        ex::ExportService service;
        ex::ExportSettings s =
            VideoSettings(dir.File("dnx.mov"), MakeFourCC("AVdn"), std::uint32_t(rate.width),
                          std::uint32_t(rate.height), 1);
        s.mQTVideoTimescale = std::uint32_t(rate.rateNumerator);
        s.mQTVideoSampleSize = std::uint32_t(rate.rateDenominator);
        s.mExportEndTime = ex::kCatalogueTicksPerSecond;
        s.mFieldType = rate.interlaced ? 1 : 0;
        s.mPixelAspectNum = s.mPixelAspectDen = 0;
        std::string const codecClass = rate.codecClass;
        s.mAvidDNxHD_ProfileLevel = codecClass == "36"    ? 1
                                    : codecClass == "145" ? 2
                                    : codecClass == "220" ? 3
                                                          : 4;
        ex::ExportId const id = NewId();
        ASSERT_EQ(StartExport(service, 1, id, s), 0)
            << rate.width << "x" << rate.height << (rate.interlaced ? "i " : "p ")
            << rate.codecClass << " at " << rate.rateNumerator << "/" << rate.rateDenominator;
        // Opening the encoder is what finds the combination's CID; a frame of each raster is
        // encoded in the round-trip tests.
        EXPECT_EQ(CompleteExport(service, 1, id, 1), ex::kErrAbandoned);
    }
}

TEST(Catalogue, ImportCodecsAreListedOnceAndNamed) {
    std::vector<std::uint32_t> const& codecs = ex::ImportCodecs();
    for (const char* code : {"avc1", "hvc1", "apch", "AVdn", "cvid", "lpcm", "aac ", ".mp3"}) {
        EXPECT_TRUE(Contains(codecs, code)) << code;
        EXPECT_FALSE(ex::CodecName(MakeFourCC(code[0], code[1], code[2], code[3])).empty()) << code;
    }
    std::vector<std::uint32_t> sorted = codecs;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "listed twice";
    EXPECT_EQ(ex::CodecName(MakeFourCC("zzzz")), "");
}

}  // namespace
}  // namespace vireo::test::exporting
