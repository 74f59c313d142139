// A movie exported in each video codec, read back with the decoding engine, has the frame count,
// rate, size, pixel aspect ratio and field order asked for, and its frames are the submitted
// ones: exactly for the lossless codecs, within 40 dB PSNR otherwise.
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
constexpr std::uint32_t k2vuy = MakeFourCC("2vuy");
constexpr std::uint32_t kB64a = MakeFourCC("b64a");
constexpr std::uint32_t kV210 = MakeFourCC("v210");

struct Case {
    const char* codec;
    std::uint32_t input;     // submitted format
    std::uint32_t readBack;  // format the engine delivers for the comparison
    std::uint32_t width, height;
    int frames;
    bool exact;
    std::uint32_t depth = 24;
    std::uint32_t parNum = 1, parDen = 1;
    std::uint32_t field = 0;
    bool deep = false;
};

std::string CaseName(testing::TestParamInfo<Case> const& info) {
    std::string name = std::string(info.param.codec) + "_" +
                       engine::FourCCToString(info.param.input) + "_" + std::to_string(info.index);
    std::replace_if(
        name.begin(), name.end(),
        [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}

class VideoRoundTrip : public testing::TestWithParam<Case> {};

TEST_P(VideoRoundTrip, ReadsBackWhatWasSubmitted) {
    Case const& c = GetParam();
    ScratchDirectory dir;
    std::string const path = dir.File("out.mov");
    std::uint32_t const codec = MakeFourCC(c.codec[0], c.codec[1], c.codec[2], c.codec[3]);
    ex::ExportSettings settings = VideoSettings(path, codec, c.width, c.height, c.frames);
    settings.mVideoBitDepth = c.depth;
    settings.mPixelAspectNum = c.parNum;
    settings.mPixelAspectDen = c.parDen;
    settings.mFieldType = c.field;
    settings.mRenderAsDeepColor = c.deep;
    ex::ExportService service;
    ASSERT_EQ(ExportFrames(service, settings, c.input, c.frames, c.depth == 32), 0);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"out.mov"});

    std::int32_t error = 0;
    auto movie = engine::Movie::Open(path, {}, error);
    ASSERT_TRUE(movie) << "engine error " << error;
    engine::VideoInfo const& info = movie->Info().video;
    EXPECT_EQ(engine::FourCCToString(info.codecFourCC), c.codec);
    EXPECT_EQ(info.frameCount, c.frames);
    EXPECT_EQ(info.timeScale, 25);
    EXPECT_EQ(info.sampleSize, 1);
    EXPECT_EQ(std::uint32_t(info.width), c.width);
    EXPECT_EQ(std::uint32_t(info.height), c.height);
    EXPECT_EQ(info.parNumerator, c.parNum);
    EXPECT_EQ(info.parDenominator, c.parDen);
    EXPECT_EQ(std::uint32_t(info.fieldType), c.field);

    for (int i = 0; i < c.frames; ++i) {
        // The submitted picture in the read-back format: what the engine gives when nothing is
        // lost.
        std::vector<std::uint8_t> const expected =
            *MakeFrame(c.readBack, c.width, c.height, i, c.depth == 32).bytes;
        std::size_t const rowBytes = expected.size() / c.height;
        std::vector<std::uint8_t> actual(expected.size());
        ASSERT_EQ(movie->ReadVideoFrame(i, c.readBack, actual.data(), rowBytes, 0, 0), 0);
        double const psnr =
            Psnr(expected.data(), actual.data(), expected.size(), c.readBack == kB64a);
        if (c.exact) {
            EXPECT_EQ(psnr, 200) << "frame " << i << " differs";
        } else {
            EXPECT_GE(psnr, 40) << "frame " << i;
        }
    }
}

// One case of each codec family and of each path a submitted format takes into it; the ProRes
// profiles and the other codecs' smallest sizes export in the catalogue limit test.
INSTANTIATE_TEST_SUITE_P(
    EveryCodec, VideoRoundTrip,
    testing::Values(Case{"avc1", kBGRA, kBGRA, 64, 48, 6, false},
                    Case{"avc1", k2vuy, k2vuy, 64, 48, 4, false, 24, 1, 1, 1},
                    Case{"apcn", kBGRA, kBGRA, 72, 48, 3, false, 24, 10, 11, 1},
                    Case{"apch", kV210, k2vuy, 64, 48, 3, false, 24, 1, 1, 2},
                    Case{"ap4h", kB64a, kB64a, 64, 48, 3, false, 32},
                    Case{"AVdn", kBGRA, kBGRA, 1280, 720, 2, false},
                    Case{"AVdn", k2vuy, k2vuy, 1440, 1080, 2, false, 24, 4, 3, 1},
                    Case{"AVdh", kBGRA, kBGRA, 256, 120, 3, false},
                    Case{"jpeg", kBGRA, kBGRA, 64, 48, 3, false},
                    Case{"png ", kBGRA, kBGRA, 33, 17, 3, true},
                    Case{"png ", kBGRA, kBGRA, 32, 16, 2, true, 32},
                    Case{"png ", kB64a, kB64a, 20, 10, 2, true, 32, 1, 1, 0, true},
                    Case{"rle ", kBGRA, kBGRA, 33, 17, 4, true},
                    Case{"rle ", kBGRA, kBGRA, 32, 16, 3, true, 32, 1, 1, 2},
                    Case{"2vuy", k2vuy, k2vuy, 40, 30, 3, true, 24, 1, 1, 2},
                    Case{"2vuy", kBGRA, kBGRA, 40, 30, 2, false},
                    Case{"v210", kBGRA, kBGRA, 48, 30, 2, false}),
    CaseName);

// Frames whose bytes are already the codec's samples go into the file unchanged.
TEST(VideoSamples, UncompressedFramesAreStoredAsSubmitted) {
    for (std::uint32_t codec : {k2vuy, kV210}) {
        ScratchDirectory dir;
        std::string const path = dir.File("raw.mov");
        ex::ExportService service;
        ASSERT_EQ(ExportFrames(service, VideoSettings(path, codec, 96, 20, 3), codec, 3), 0);
        DemuxedMovie const movie = Demux(path);
        EXPECT_EQ(movie.videoTag, codec);
        ASSERT_EQ(movie.videoPackets.size(), 3u);
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(movie.videoPackets[std::size_t(i)] == *MakeFrame(codec, 96, 20, i).bytes)
                << engine::FourCCToString(codec) << " frame " << i;
        }
    }
}

// Row padding is skipped whatever the format: a padded frame gives the same movie as the same
// picture without padding.
TEST(VideoSamples, PaddedRowsGiveTheSamePicture) {
    for (std::uint32_t format : {kBGRA, k2vuy, kB64a, kV210}) {
        std::vector<std::uint8_t> pictures[2];
        for (std::uint32_t padding : {0u, 64u}) {
            ScratchDirectory dir;
            std::string const path = dir.File("padded.mov");
            ex::ExportService service;
            ex::ExportId const id = NewId();
            ASSERT_EQ(
                StartExport(service, 1, id, VideoSettings(path, MakeFourCC("png "), 50, 8, 1)), 0);
            ASSERT_EQ(SubmitFrame(service, 1, id, 0, MakeFrame(format, 50, 8, 0, false, padding)),
                      0);
            ASSERT_EQ(CompleteExport(service, 1, id), 0);
            std::int32_t error = 0;
            auto movie = engine::Movie::Open(path, {}, error);
            ASSERT_TRUE(movie);
            auto& picture = pictures[padding == 0 ? 0 : 1];
            picture.resize(50 * 8 * 4);
            ASSERT_EQ(movie->ReadVideoFrame(0, kBGRA, picture.data(), 200, 0, 0), 0);
        }
        EXPECT_TRUE(pictures[0] == pictures[1]) << engine::FourCCToString(format);
    }
}

}  // namespace
}  // namespace vireo::test::exporting
