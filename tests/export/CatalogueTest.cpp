// The catalogues say what the encoders really take: each codec exports at the limits it lists
// and is refused just beyond them; the DNxHD table holds only combinations the encoder has.
#include <gtest/gtest.h>

#include <algorithm>

#include "EncoderTable.h"
#include "ExportTestSupport.h"
#include "engine/FourCC.h"
#include "export/Catalogue.h"
#include "export/CodecSettings.h"
#include "export/ExportErrors.h"

namespace vireo::test::exporting {
namespace {

using engine::MakeFourCC;

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
