// What the server's movie methods answer beyond what the library's import tests see: refusals
// that publish nothing, quieting, cancelling, and movies private to their session.
#include <gtest/gtest.h>

#include <future>

#include "EngineTestSupport.h"
#include "Kino/VideoFrame.h"
#include "MovieServerSupport.h"
#include "Pix/Pix.h"
#include "basekit/serialization/JSONConvert.h"
#include "engine/Errors.h"
#include "engine/PixelFormats.h"
#include "samples/Pattern.h"

namespace vireo::test::engine {

using basekit::serialization::MakeVariant;
using basekit::serialization::ReadValue;
using basekit::serialization::VariantObject;
using basekit::utility::Guid;

namespace {

bool VideoAccepted(std::int64_t value) {
    return value == 0;
}

class MovieMethods : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server.Ready()); }

    Guid Open(std::string const& file) {
        Answer opened = server.First().OpenLater(SamplePath(file)).get();
        EXPECT_EQ(OpenResult(opened), 0) << file;
        return OpenedMovie(opened);
    }

    // The frame number shown by frame `time` of `movie`, read through a published BGRA frame.
    int FrameNumber(Guid const& movie, std::int64_t time, int frameCount) {
        Guid request = Guid::CreateUnique();
        DataAnswer got = server.First().CallForData(
            "GetMovieVideo", FrameCall(movie, request, time, vireo::engine::kFormatBGRA), request,
            VideoAccepted);
        EXPECT_EQ(AnswerValue(got.answer), 0);
        InterfaceRef<Kino::IVideoFrame> frame;
        if (!got.delivered || got.status != 0 ||
            Pix::WrapVideoFrameAroundBinaryReference(got.data, request, frame) < 0 || !frame)
            return -1;
        return samples::ReadFrameNumberBGRA(static_cast<const std::uint8_t*>(frame->GetPixels()),
                                            frame->GetRowBytes(), int(frame->GetWidth()),
                                            int(frame->GetHeight()), frameCount);
    }

    std::int64_t VideoError(Guid const& movie, std::int64_t time, std::uint32_t fourcc,
                            std::int64_t width = 0, std::int64_t height = 0) {
        Guid request = Guid::CreateUnique();
        DataAnswer got = server.First().CallForData(
            "GetMovieVideo", FrameCall(movie, request, time, fourcc, width, height), request,
            VideoAccepted);
        EXPECT_TRUE(got.answer.ok);
        EXPECT_FALSE(got.delivered) << "a refused request publishes nothing";
        return AnswerValue(got.answer);
    }

    std::int64_t Control(const char* method, Guid const& movie) {
        return AnswerValue(server.First().Call(method, {MakeVariant(movie.AsUTF8String())}));
    }

    MovieServer server;
};

TEST_F(MovieMethods, RefusedRequestsAnswerTheirCodeAndPublishNothing) {
    Guid movie = Open("prores_422.mov");
    EXPECT_EQ(VideoError(movie, 12 * 1001, vireo::engine::kFormatBGRA),
              vireo::engine::kErrTimeOutOfRange);
    EXPECT_EQ(VideoError(movie, 0, vireo::engine::MakeFourCC("yuvs")),
              vireo::engine::kErrUnsupportedPixelFormat);
    EXPECT_EQ(VideoError(movie, 0, vireo::engine::kFormatBGRA, -4, 10),
              vireo::engine::kErrBadDestination);
    DataAnswer noAudio = RequestAudio(server.First(), Open("one_frame.mov"));
    EXPECT_EQ(AnswerValue(noAudio.answer), vireo::engine::kErrNoAudio);
    EXPECT_FALSE(noAudio.delivered);

    // Closing: answered once, then the identifier is unknown.
    EXPECT_EQ(Control("CloseMovie", movie), 0);
    EXPECT_EQ(Control("CloseMovie", movie), vireo::engine::kErrUnknownMovie);
    EXPECT_EQ(VideoError(movie, 0, vireo::engine::kFormatBGRA), vireo::engine::kErrUnknownMovie);
    EXPECT_EQ(Control("QuietMovie", movie), vireo::engine::kErrUnknownMovie);
}

TEST_F(MovieMethods, QuietReleasesAndFramesStillComeAfterwards) {
    Guid movie = Open("mjpeg_pcm.avi");
    EXPECT_EQ(Control("QuietMovie", movie), 0);
    EXPECT_EQ(FrameNumber(movie, 4, 30), 4);
    EXPECT_EQ(Control("UnquietMovie", movie), 0);
    EXPECT_EQ(FrameNumber(movie, 5, 30), 5);
}

TEST_F(MovieMethods, CancelledRequestsAreAnsweredWithoutData) {
    Guid movie = Open("h264_1080p.mov");
    // Queue several slow frames, then cancel the last one: it is either still waiting (answered
    // with kErrCancelled, nothing published) or already done (answered 0 with its frame).
    auto request = [this, movie](std::int64_t time, Guid const& id) {
        return std::async(std::launch::async, [this, movie, time, id] {
            return server.First().CallForData(
                "GetMovieVideo", FrameCall(movie, id, time, vireo::engine::kFormatBGRA), id,
                VideoAccepted);
        });
    };
    std::vector<std::future<DataAnswer>> first;
    for (int i = 0; i < 4; ++i)
        first.push_back(request(40 - i * 9, Guid::CreateUnique()));
    Guid last = Guid::CreateUnique();
    auto cancelled = request(1, last);
    server.First().Notify("CancelMovieVideo",
                          {MakeVariant(movie.AsUTF8String()), MakeVariant(last.AsUTF8String())});
    DataAnswer outcome = cancelled.get();
    ASSERT_TRUE(outcome.answer.ok);
    if (AnswerValue(outcome.answer) == 0) {
        EXPECT_TRUE(outcome.delivered);
    } else {
        EXPECT_EQ(AnswerValue(outcome.answer), vireo::engine::kErrCancelled);
        EXPECT_FALSE(outcome.delivered);
    }
    for (auto& f : first)
        EXPECT_TRUE(f.get().delivered);
}

TEST_F(MovieMethods, MoviesBelongToTheirSession) {
    Guid movie = Open("one_frame.mov");
    std::unique_ptr<MovieClient> stranger = server.Connect();
    Answer closed = stranger->Call("CloseMovie", {MakeVariant(movie.AsUTF8String())});
    ASSERT_TRUE(closed.ok);
    EXPECT_EQ(AnswerValue(closed), vireo::engine::kErrUnknownMovie);
    stranger.reset();
    // Still open for its own session.
    EXPECT_EQ(FrameNumber(movie, 0, 1), 0);
}

}  // namespace
}  // namespace vireo::test::engine
