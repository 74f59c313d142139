// Markers become chapters, captions a closed-caption track, the poster time the movie header's;
// frame numbers place frames in time, and video and audio share one movie.
#include <gtest/gtest.h>

#include <cstring>

#include "ExportTestSupport.h"
#include "engine/FourCC.h"
#include "engine/Movie.h"
#include "export/Catalogue.h"
#include "export/ExportErrors.h"

namespace vireo::test::exporting {
namespace {

using engine::MakeFourCC;

constexpr std::uint32_t kBGRA = MakeFourCC("BGRA");

ex::ExportMarker Marker(std::int64_t ticks, std::string name, std::string chapter = "") {
    ex::ExportMarker marker;
    marker.mTime = ticks;
    marker.mNameStr = std::move(name);
    marker.mChapterStr = std::move(chapter);
    return marker;
}

ex::ExportCaption Caption(std::int64_t ticks, std::vector<std::uint8_t> pairs) {
    ex::ExportCaption caption;
    caption.mTime = ticks;
    caption.mData = std::move(pairs);
    return caption;
}

TEST(Timeline, MarkersCaptionsAndPosterAreInTheMovie) {
    ScratchDirectory dir;
    std::string const path = dir.File("timeline.mov");
    // 10 frames at 25 fps over a range that starts 100 frames into the host's sequence.
    std::int64_t const tick = TicksPerFrame();
    ex::ExportSettings s = VideoSettings(path, MakeFourCC("jpeg"), 32, 16, 10);
    s.mExportStartTime = 100 * tick;
    s.mExportEndTime = 110 * tick;
    s.mExportMarkers = {Marker(105 * tick, "Second", "Chapter two"), Marker(100 * tick, "First"),
                        Marker(105 * tick, "Same time: dropped"), Marker(50 * tick, "Before"),
                        Marker(120 * tick, "After")};
    s.mExportCaptions = {Caption(102 * tick, {0x94, 0x2C, 0xC1, 0xC2}),
                         Caption(107 * tick, {0x94, 0x20})};
    s.mVideoPosterFrameTickTime = 104 * tick;
    ex::ExportService service;
    ASSERT_EQ(ExportFrames(service, s, kBGRA, 10), 0);

    DemuxedMovie const movie = Demux(path);
    ASSERT_TRUE(movie.opened);
    ASSERT_EQ(movie.chapters.size(), 2u);
    EXPECT_EQ(movie.chapters[0].title, "First");
    EXPECT_DOUBLE_EQ(movie.chapters[0].start, 0.0);
    EXPECT_EQ(movie.chapters[1].title, "Chapter two");
    EXPECT_NEAR(movie.chapters[1].start, 0.2, 1e-3);
    ASSERT_EQ(movie.captionPairs.size(), 2u);
    EXPECT_EQ(movie.captionPairs[0], (std::vector<std::uint8_t>{0x94, 0x2C, 0xC1, 0xC2}));
    EXPECT_EQ(movie.captionPairs[1], (std::vector<std::uint8_t>{0x94, 0x20}));
    EXPECT_NEAR(movie.captionTimes[0], 0.08, 1e-3);
    EXPECT_NEAR(movie.captionTimes[1], 0.28, 1e-3);
    EXPECT_NEAR(PosterTime(path), 0.16, 1e-3);
}

TEST(Timeline, FrameNumbersPlaceFramesAndGapsHoldTheLastFrame) {
    ScratchDirectory dir;
    std::string const path = dir.File("gaps.mov");
    ex::ExportService service;
    ex::ExportId const id = NewId();
    ASSERT_EQ(StartExport(service, 1, id, VideoSettings(path, MakeFourCC("png "), 16, 8, 8)), 0);
    for (std::uint32_t n : {0u, 1u, 4u, 7u}) {
        ASSERT_EQ(SubmitFrame(service, 1, id, n, MakeFrame(kBGRA, 16, 8, int(n))), 0);
    }
    ASSERT_EQ(CompleteExport(service, 1, id), 0);
    std::int32_t error = 0;
    auto movie = engine::Movie::Open(path, {}, error);
    ASSERT_TRUE(movie);
    EXPECT_EQ(movie->Info().video.frameCount, 8);
    int const shown[8] = {0, 1, 1, 1, 4, 4, 4, 7};
    for (int t = 0; t < 8; ++t) {
        std::vector<std::uint8_t> picture(16 * 8 * 4);
        ASSERT_EQ(movie->ReadVideoFrame(t, kBGRA, picture.data(), 64, 0, 0), 0);
        EXPECT_TRUE(picture == *MakeFrame(kBGRA, 16, 8, shown[t]).bytes) << "time " << t;
    }
}

TEST(Timeline, VideoAndAudioShareTheMovie) {
    ScratchDirectory dir;
    std::string const path = dir.File("both.mov");
    ex::ExportSettings s = VideoSettings(path, MakeFourCC("avc1"), 64, 48, 25);
    s.mExportAudio = true;
    s.mAudioCodecFourCC = std::int32_t(MakeFourCC("sowt"));
    s.mAudioFrameRate = 48000;
    s.mAudioNumChannels = 2;
    s.mReorderFrames = true;
    s.mDoKeyframes = true;
    s.mKeyframeEveryNFrames = 10;
    ex::ExportService service;
    ex::ExportId const id = NewId();
    ASSERT_EQ(StartExport(service, 1, id, s), 0);
    // The host's usual order: a frame, then the audio up to its end.
    for (int i = 0; i < 25; ++i) {
        ASSERT_EQ(SubmitFrame(service, 1, id, std::uint32_t(i), MakeFrame(kBGRA, 64, 48, i)), 0);
        std::vector<std::uint8_t> silence(1920 * 2 * 4, 0);
        ASSERT_EQ(SubmitAudio(service, 1, id, i * 1920, 1920, silence), 0);
    }
    EXPECT_EQ(service.Progress(1, id), 25);
    ASSERT_EQ(CompleteExport(service, 1, id), 0);
    std::int32_t error = 0;
    auto movie = engine::Movie::Open(path, {}, error);
    ASSERT_TRUE(movie);
    EXPECT_EQ(movie->Info().video.frameCount, 25);
    EXPECT_EQ(movie->Info().audio.duration, 48000);
    // Frames come back in display order even though B-frames store them out of it.
    std::vector<std::uint8_t> picture(64 * 48 * 4);
    for (int i : {24, 3, 17}) {
        ASSERT_EQ(movie->ReadVideoFrame(i, kBGRA, picture.data(), 256, 0, 0), 0);
        auto const expected = MakeFrame(kBGRA, 64, 48, i);
        EXPECT_GE(Psnr(expected.bytes->data(), picture.data(), picture.size()), 40) << i;
    }
}

}  // namespace
}  // namespace vireo::test::exporting
