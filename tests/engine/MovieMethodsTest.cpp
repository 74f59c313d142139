// What the server's movie methods answer beyond what the library's import tests see: refusals
// that publish nothing, quieting, cancelling, and movies private to their session.
#include <gtest/gtest.h>

#include <future>

#include "EngineTestSupport.h"
#include "MovieServerSupport.h"
#include "engine/Errors.h"
#include "engine/PixelFormats.h"

namespace vireo::test::engine {

using basekit::serialization::MakeVariant;
using basekit::utility::Guid;

namespace {

bool VideoAccepted(std::int64_t value) {
    return value == 0;
}

class MovieMethods : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server.Ready()); }

    Guid Open(std::string const& file) { return OpenOrFail(server.First(), file); }

    int FrameNumberAt(Guid const& movie, std::int64_t time, int frameCount) {
        return FrameNumber(RequestFrame(server.First(), movie, time, vireo::engine::kFormatBGRA),
                           frameCount);
    }

    std::int64_t VideoError(Guid const& movie, std::int64_t time, std::uint32_t fourcc,
                            std::int64_t width = 0, std::int64_t height = 0) {
        DataAnswer got = RequestFrame(server.First(), movie, time, fourcc, width, height);
        EXPECT_TRUE(got.answer.ok);
        EXPECT_FALSE(got.delivered) << "a refused request publishes nothing";
        return AnswerValue(got.answer);
    }

    std::int64_t Control(const char* method, Guid const& movie) {
        return AnswerValue(server.First().Call(method, {MakeVariant(movie.AsUTF8String())}));
    }

    MovieServer server;
};

TEST_F(MovieMethods, RefusedRequestsAnswerTheirCodeAndPublishNothingAndMoviesStayPrivate) {
    Guid movie = Open("prores_422.mov");
    EXPECT_EQ(VideoError(movie, 12 * 1001, vireo::engine::kFormatBGRA),
              vireo::engine::kErrTimeOutOfRange);
    EXPECT_EQ(VideoError(movie, 0, vireo::engine::MakeFourCC("yuvs")),
              vireo::engine::kErrUnsupportedPixelFormat);
    EXPECT_EQ(VideoError(movie, 0, vireo::engine::kFormatBGRA, -4, 10),
              vireo::engine::kErrBadDestination);
    // A 16384 x 16384 'b64a' frame would take 2 GiB of shared memory: refused by default,
    // as is either side beyond 8192.
    for (auto size :
         {std::make_pair(16384, 16384), std::make_pair(8193, 16), std::make_pair(16, 8193)})
        EXPECT_EQ(VideoError(movie, 0, vireo::engine::kFormatB64a, size.first, size.second),
                  vireo::engine::kErrFrameTooLarge);
    // Movies belong to their session: another client cannot close this one.
    std::unique_ptr<MovieClient> stranger = server.Connect();
    Answer closed = stranger->Call("CloseMovie", {MakeVariant(movie.AsUTF8String())});
    ASSERT_TRUE(closed.ok);
    EXPECT_EQ(AnswerValue(closed), vireo::engine::kErrUnknownMovie);
    stranger.reset();
    // The session goes on.
    EXPECT_EQ(FrameNumberAt(movie, 1001, 12), 1);
    DataAnswer noAudio = RequestAudio(server.First(), Open("one_frame.mov"));
    EXPECT_EQ(AnswerValue(noAudio.answer), vireo::engine::kErrNoAudio);
    EXPECT_FALSE(noAudio.delivered);

    // Closing: answered once, then the identifier is unknown.
    EXPECT_EQ(Control("CloseMovie", movie), 0);
    EXPECT_EQ(Control("CloseMovie", movie), vireo::engine::kErrUnknownMovie);
    EXPECT_EQ(VideoError(movie, 0, vireo::engine::kFormatBGRA), vireo::engine::kErrUnknownMovie);
    EXPECT_EQ(Control("QuietMovie", movie), vireo::engine::kErrUnknownMovie);
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

}  // namespace
}  // namespace vireo::test::engine
