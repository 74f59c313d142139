// What a trim keeps besides the main video and audio: chapters and captions cut to the range,
// metadata, and sources of other kinds (AVI, sound only, compressed audio).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavformat/avformat.h>
}

#include "FilesTestSupport.h"
#include "TrimRequests.h"

namespace vireo::test::files {
namespace {

using server::files::TrimMovie;

// What Remux changes on the way.
struct Changes {
    std::vector<TimedText> chapters;
    std::vector<TimedText> texts;  // a QuickTime text track
    double audioDelay = 0;         // seconds
};

// Copies the video and audio of the QuickTime movie `from` into `to` with `changes` and the
// title "Vireo sample" (the timecode track is made again from the video's entry).
void Remux(std::string const& from, std::string const& to, Changes const& changes) {
    AVFormatContext* input = nullptr;
    ASSERT_GE(avformat_open_input(&input, from.c_str(), nullptr, nullptr), 0);
    ASSERT_GE(avformat_find_stream_info(input, nullptr), 0);
    AVFormatContext* output = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&output, nullptr, "mov", to.c_str()), 0);
    std::vector<int> map(input->nb_streams, -1);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream const* in = input->streams[i];
        if (in->codecpar->codec_type != AVMEDIA_TYPE_VIDEO &&
            in->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
            continue;
        }
        AVStream* out = avformat_new_stream(output, nullptr);
        avcodec_parameters_copy(out->codecpar, in->codecpar);
        out->codecpar->codec_tag = 0;
        out->time_base = in->time_base;
        out->avg_frame_rate = in->avg_frame_rate;
        av_dict_copy(&out->metadata, in->metadata, 0);
        map[i] = out->index;
    }
    AVStream* text = nullptr;
    if (!changes.texts.empty()) {
        text = avformat_new_stream(output, nullptr);
        text->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
        text->codecpar->codec_id = AV_CODEC_ID_MOV_TEXT;
        text->time_base = AVRational{1, 1000};
    }
    av_dict_copy(&output->metadata, input->metadata, 0);
    av_dict_set(&output->metadata, "title", "Vireo sample", 0);
    for (TimedText const& chapter : changes.chapters) {
        auto* made = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        made->id = output->nb_chapters;
        made->time_base = AVRational{1, 1000};
        made->start = std::llround(chapter.start * 1000);
        made->end = std::llround(chapter.end * 1000);
        av_dict_set(&made->metadata, "title", chapter.text.c_str(), 0);
        output->chapters = static_cast<AVChapter**>(
            av_realloc_array(output->chapters, output->nb_chapters + 1, sizeof(AVChapter*)));
        output->chapters[output->nb_chapters++] = made;
    }
    ASSERT_GE(avio_open(&output->pb, to.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(avformat_write_header(output, nullptr), 0);
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(input, packet) >= 0) {
        int const index = map[std::size_t(packet->stream_index)];
        if (index >= 0) {
            AVStream const* in = input->streams[packet->stream_index];
            if (in->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
                std::int64_t const shift = std::llround(changes.audioDelay / av_q2d(in->time_base));
                packet->pts += shift;
                packet->dts += shift;
            }
            av_packet_rescale_ts(packet, in->time_base, output->streams[index]->time_base);
            packet->stream_index = index;
            packet->pos = -1;
            ASSERT_GE(av_interleaved_write_frame(output, packet), 0);
        }
        av_packet_unref(packet);
    }
    for (TimedText const& sample : changes.texts) {
        ASSERT_GE(av_new_packet(packet, int(sample.text.size() + 2)), 0);
        packet->data[0] = std::uint8_t(sample.text.size() >> 8);
        packet->data[1] = std::uint8_t(sample.text.size());
        std::copy(sample.text.begin(), sample.text.end(), packet->data + 2);
        packet->pts = packet->dts = std::llround(sample.start * 1000);
        packet->duration = std::llround((sample.end - sample.start) * 1000);
        packet->flags |= AV_PKT_FLAG_KEY;
        av_packet_rescale_ts(packet, AVRational{1, 1000}, text->time_base);
        packet->stream_index = text->index;
        ASSERT_GE(av_interleaved_write_frame(output, packet), 0);
    }
    av_packet_free(&packet);
    ASSERT_GE(av_write_trailer(output), 0);
    avio_closep(&output->pb);
    avformat_free_context(output);
    avformat_close_input(&input);
}

void ExpectTimedTexts(std::vector<TimedText> const& actual,
                      std::vector<TimedText> const& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(actual[i].text, expected[i].text);
        EXPECT_NEAR(actual[i].start, expected[i].start, 0.0015) << expected[i].text;
        EXPECT_NEAR(actual[i].end, expected[i].end, 0.0015) << expected[i].text;
    }
}

void ExpectSameFrames(DecodedMovie const& trimmed, DecodedMovie const& source, int first,
                      int count) {
    ASSERT_EQ(trimmed.error, 0);
    ASSERT_EQ(int(trimmed.frames.size()), count);
    for (int i = 0; i < count; ++i) {
        EXPECT_TRUE(trimmed.frames[std::size_t(i)] == source.frames[std::size_t(first + i)])
            << "frame " << i;
    }
}

TEST(TrimTracksTest, ChaptersAndCaptionsAreCutToTheRangeAndMetadataKept) {
    TempFolder folder;
    std::string const plain =
        WriteMovie(TestMovie("plain.mov", 25, 1, 60, "00:59:59:00"), folder.Path());
    std::string const source = folder.File("texts.mov");
    Changes changes;
    changes.chapters = {{0, 1, "One"}, {1, 2, "Two"}, {2, 2.4, "Three"}};
    changes.texts = {{0.2, 0.9, "alpha"}, {1.0, 1.6, "beta"}, {1.8, 2.3, "gamma"}};
    ASSERT_NO_FATAL_FAILURE(Remux(plain, source, changes));
    ASSERT_EQ(ReadChapters(source).size(), 3u);
    ASSERT_EQ(ReadSubtitles(source).size(), 3u);
    std::uint64_t const checksum = FileChecksum(source);

    // Frames 20 to 46: 0.8 s to 1.88 s.
    std::string const cut = folder.File("cut.mov");
    ASSERT_EQ(TrimMovie(Range(source, cut, 800, 1080, 1000)), 0);
    ExpectTimedTexts(ReadChapters(cut), {{0, 0.2, "One"}, {0.2, 1.08, "Two"}});
    ExpectTimedTexts(ReadSubtitles(cut),
                     {{0, 0.1, "alpha"}, {0.2, 0.8, "beta"}, {1.0, 1.08, "gamma"}});
    EXPECT_EQ(ReadMetadata(cut, "title"), "Vireo sample");
    EXPECT_EQ(ReadMetadata(cut, "creation_time"), ReadMetadata(source, "creation_time"));
    DecodedMovie const trimmed = Decode(cut);
    ExpectSameFrames(trimmed, Decode(source), 20, 27);
    EXPECT_EQ(trimmed.info.timecode.start, "00:59:59:20");
    EXPECT_EQ(FileChecksum(source), checksum);
}

TEST(TrimTracksTest, AviSourceBecomesAQuickTimeMovieFrameForFrame) {
    TempFolder folder;
    std::string const source = WriteMovie(samples::FindSample("mjpeg_pcm.avi"), folder.Path());
    DecodedMovie const original = Decode(source);
    ASSERT_EQ(TrimMovie(Range(source, folder.File("cut.mov"), 7, 10, 15, 1)), 0);
    DecodedMovie const trimmed = Decode(folder.File("cut.mov"));
    ExpectSameFrames(trimmed, original, 7, 10);
    EXPECT_EQ(trimmed.info.video.codecFourCC, original.info.video.codecFourCC);
    // 44.1 kHz mono at 15 fps: 2940 samples a frame.
    ASSERT_EQ(trimmed.audio.size(), 29400u);
    EXPECT_TRUE(
        std::equal(trimmed.audio.begin(), trimmed.audio.end(), original.audio.begin() + 7 * 2940));
}

TEST(TrimTracksTest, SoundOnlySourceIsCutSampleForSample) {
    TempFolder folder;
    std::string const source = WriteMovie(samples::FindSample("audio.wav"), folder.Path());
    DecodedMovie const original = Decode(source);
    ASSERT_EQ(TrimMovie(Range(source, folder.File("cut.mov"), 1001, 30011, 48000)), 0);
    DecodedMovie const trimmed = Decode(folder.File("cut.mov"));
    ASSERT_EQ(trimmed.error, 0);
    EXPECT_FALSE(trimmed.info.video.present);
    EXPECT_EQ(trimmed.info.audio.duration, 30011);
    ASSERT_EQ(trimmed.audio.size(), 30011u * 2);
    EXPECT_TRUE(
        std::equal(trimmed.audio.begin(), trimmed.audio.end(), original.audio.begin() + 1001 * 2));
}

TEST(TrimTracksTest, CompressedAudioKeepsItsSamplesAfterTheDecodersWarmUp) {
    // AAC decodes each block from the one before: the trim keeps blocks before the range so
    // that the first samples kept decode as they do in the whole movie.
    TempFolder folder;
    std::string const source = WriteMovie(samples::FindSample("h264_aac_tc.mov"), folder.Path());
    DecodedMovie const original = Decode(source);
    ASSERT_EQ(TrimMovie(Range(source, folder.File("cut.mov"), 13 * 1001, 20 * 1001, 30000, 1001)),
              0);
    DecodedMovie const trimmed = Decode(folder.File("cut.mov"));
    ExpectSameFrames(trimmed, original, 13, 20);
    EXPECT_EQ(trimmed.info.timecode.start, "01:00:00;13");
    // 1601.6 samples a frame: from 20820.8 -> 20821, 20 frames of 1601.6 samples.
    std::size_t const first = 20821, count = 32032;
    ASSERT_EQ(trimmed.audio.size(), count * 2);
    double worst = 0;
    for (std::size_t i = 0; i < count * 2; ++i) {
        worst =
            std::max(worst, std::fabs(double(trimmed.audio[i]) - original.audio[first * 2 + i]));
    }
    EXPECT_LT(worst, 1e-4);
}

TEST(TrimTracksTest, TimesCountFromTheFirstFrameOfATransportStream) {
    // Timestamps far from 0, and seeking by guessing: the trimmed movie's frames, read by their
    // times, are the source's from the range's start on.
    TempFolder folder;
    std::string const source = WriteMovie(samples::FindSample("offset.ts"), folder.Path());
    DecodedMovie const original = Decode(source);
    for (int const trimIn : {27, 3}) {
        SCOPED_TRACE("from frame " + std::to_string(trimIn));
        ASSERT_EQ(TrimMovie(Range(source, folder.File("cut.mov"), trimIn, 10, 25)), 0);
        ExpectSameFrames(Decode(folder.File("cut.mov")), original, trimIn, 10);
    }
}

// The video frames FFmpeg presents (packets not marked to be dropped), by presentation time in
// seconds, with their data.
std::vector<std::pair<double, std::vector<std::uint8_t>>> PresentedFrames(std::string const& path) {
    std::vector<std::pair<double, std::vector<std::uint8_t>>> frames;
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0) {
        ADD_FAILURE() << path;
        return frames;
    }
    avformat_find_stream_info(input, nullptr);
    int const index = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    AVPacket* packet = av_packet_alloc();
    while (index >= 0 && av_read_frame(input, packet) >= 0) {
        if (packet->stream_index == index && (packet->flags & AV_PKT_FLAG_DISCARD) == 0) {
            frames.emplace_back(
                double(packet->pts) * av_q2d(input->streams[index]->time_base),
                std::vector<std::uint8_t>(packet->data, packet->data + packet->size));
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&input);
    std::sort(frames.begin(), frames.end());
    return frames;
}

TEST(TrimTracksTest, VariableFrameRateKeepsEveryFrameAtItsTime) {
    // Frame i is shown at (i + i / 2) / 25 s. The demuxer does not know how long the last frame
    // kept lasts (it guesses one frame period): the movie still lasts the whole range.
    TempFolder folder;
    std::string const source = WriteMovie(samples::FindSample("vfr.mkv"), folder.Path());
    auto const all = PresentedFrames(source);
    ASSERT_EQ(all.size(), 20u);
    struct Case {
        int trimIn, duration;  // 1/25 s; the start is a frame's
    };
    for (Case const c : {Case{9, 12}, Case{0, 5}, Case{21, 9}}) {
        SCOPED_TRACE("from " + std::to_string(c.trimIn) + "/25 s");
        std::string const cut = folder.File("cut.mov");
        ASSERT_EQ(TrimMovie(Range(source, cut, c.trimIn, c.duration, 25)), 0);
        double const in = c.trimIn / 25.0, end = (c.trimIn + c.duration) / 25.0;
        std::vector<std::pair<double, std::vector<std::uint8_t>>> expected;
        for (auto const& [time, data] : all) {
            if (time >= in - 1e-9 && time < end - 1e-9) {
                expected.emplace_back(time - in, data);
            }
        }
        auto const kept = PresentedFrames(cut);
        ASSERT_EQ(kept.size(), expected.size());
        for (std::size_t i = 0; i < kept.size(); ++i) {
            EXPECT_NEAR(kept[i].first, expected[i].first, 1e-6) << "frame " << i;
            EXPECT_TRUE(kept[i].second == expected[i].second) << "frame " << i;
        }
        engine::VideoInfo const trimmed = Decode(cut).info.video;
        EXPECT_EQ(av_rescale(trimmed.duration, 25, trimmed.timeScale), c.duration);
    }
}

TEST(TrimTracksTest, TrackStartingAfterTheRangeStartsLateInTheTrimmedMovie) {
    // The audio begins 1.6 s into the movie. The range starts at 1.2 s: reading from a second
    // before it finds no audio that early, so the file is read again from its start; the audio
    // keeps its place, 0.4 s into the trimmed movie, and ends with the range.
    TempFolder folder;
    std::string const plain = WriteMovie(TestMovie("plain.mov", 25, 1, 60, ""), folder.Path());
    std::string const source = folder.File("late.mov");
    Changes changes;
    changes.audioDelay = 1.6;
    ASSERT_NO_FATAL_FAILURE(Remux(plain, source, changes));
    DecodedMovie const original = Decode(source);
    ASSERT_EQ(original.error, 0);
    std::string const cut = folder.File("cut.mov");
    ASSERT_EQ(TrimMovie(Range(source, cut, 30, 25, 25, 1)), 0);
    DecodedMovie const trimmed = Decode(cut);
    ExpectSameFrames(trimmed, original, 30, 25);
    // 0.6 s of audio, from its first sample.
    ASSERT_EQ(trimmed.audio.size(), 28800u * 2);
    EXPECT_TRUE(std::equal(trimmed.audio.begin(), trimmed.audio.end(), original.audio.begin()));
    AVFormatContext* input = nullptr;
    ASSERT_GE(avformat_open_input(&input, cut.c_str(), nullptr, nullptr), 0);
    avformat_find_stream_info(input, nullptr);
    int const audio = av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    ASSERT_GE(audio, 0);
    EXPECT_NEAR(
        double(input->streams[audio]->start_time) * av_q2d(input->streams[audio]->time_base), 0.4,
        1e-6);
    avformat_close_input(&input);
}

}  // namespace
}  // namespace vireo::test::files
