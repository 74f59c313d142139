// Each limit of a session answers its own code before any work is done, and the server goes on
// serving that session and other clients.
#include <gtest/gtest.h>

#include <chrono>

#include "EngineTestSupport.h"
#include "MovieServerSupport.h"
#include "TimeScale.h"
#include "engine/Errors.h"
#include "engine/PixelFormats.h"

namespace vireo::test::engine {
namespace {

using namespace std::chrono_literals;
using basekit::serialization::MakeVariant;
using basekit::utility::Guid;
namespace errors = vireo::engine;

constexpr std::uint32_t kBGRA = vireo::engine::kFormatBGRA;

// A second client still opens a movie and gets a frame of it: the server is up and serving.
void ExpectOthersServed(MovieServer& server) {
    std::unique_ptr<MovieClient> other = server.Connect();
    ASSERT_TRUE(other->Ready());
    Guid movie = OpenOrFail(*other, "one_frame.mov");
    DataAnswer frame = RequestFrame(*other, movie, 0, kBGRA);
    EXPECT_EQ(AnswerValue(frame.answer), errors::kOK);
    EXPECT_TRUE(frame.delivered && frame.data);
}

// The largest frame and the number of open movies per session are settings.
TEST(SessionLimits, FrameSizeAndOpenMoviesAreLimitedBySetting) {
    MovieServer server(
        "VireoServer.MaxFrameWidth=200\nVireoServer.MaxFrameHeight=150\n"
        "VireoServer.MaxMoviesPerSession=3\n");
    ASSERT_TRUE(server.Ready());
    std::unique_ptr<MovieClient> client = server.Connect();
    Guid movie = OpenOrFail(*client, "h264_aac_tc.mov");
    // The movie's own size, 320 x 240, is beyond the limit.
    DataAnswer tooLarge = RequestFrame(*client, movie, 0, kBGRA);
    EXPECT_EQ(AnswerValue(tooLarge.answer), errors::kErrFrameTooLarge);
    EXPECT_FALSE(tooLarge.delivered);
    DataAnswer fits = RequestFrame(*client, movie, 0, kBGRA, 200, 150);
    EXPECT_EQ(AnswerValue(fits.answer), errors::kOK);
    EXPECT_TRUE(fits.delivered);

    // Four opens at once besides the movie open: the movies being opened count, so exactly two
    // more get through.
    std::vector<std::future<Answer>> burst;
    for (int i = 0; i < 4; ++i)
        burst.push_back(client->OpenLater(SamplePath("one_frame.mov")));
    std::vector<Guid> opened{movie};
    int refused = 0;
    for (auto& answer : burst) {
        Answer got = answer.get();
        if (OpenResult(got) == errors::kOK)
            opened.push_back(OpenedMovie(got));
        else if (OpenResult(got) == errors::kErrTooManyMovies)
            ++refused;
    }
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(refused, 2);
    // Another client has places of its own.
    ExpectOthersServed(server);
    // Closing one gives its place back.
    EXPECT_EQ(AnswerValue(client->Call("CloseMovie", {MakeVariant(opened[0].AsUTF8String())})),
              errors::kOK);
    Guid again = OpenOrFail(*client, "one_frame.mov");
    EXPECT_EQ(OpenResult(client->OpenLater(SamplePath("one_frame.mov")).get()),
              errors::kErrTooManyMovies);
    // The movies still open are served.
    EXPECT_EQ(AnswerValue(RequestFrame(*client, again, 0, kBGRA).answer), errors::kOK);
}

// The two limits below are counted by crossprocess, which tells the server how much of its
// shared memory each session's client still holds. Either way two frames of 320 x 240 BGRA
// (300 KiB each) fit and a third does not.
TEST(SessionLimits, FramesAndSharedMemoryHeldUnreleasedAreLimited) {
    struct Case {
        const char* setting;
        std::int64_t code;
    } const cases[] = {
        {"VireoServer.MaxHeldFramesPerSession=2\n", errors::kErrSessionFrameLimit},
        {"VireoServer.MaxSharedBytesPerSession=700000\n", errors::kErrSessionMemoryLimit}};
    for (auto const& c : cases) {
        SCOPED_TRACE(c.setting);
        MovieServer server(c.setting);
        ASSERT_TRUE(server.Ready());
        std::unique_ptr<MovieClient> client = server.Connect();
        Guid movie = OpenOrFail(*client, "h264_aac_tc.mov");
        DataAnswer first = RequestFrame(*client, movie, 0, kBGRA);
        DataAnswer second = RequestFrame(*client, movie, 1001, kBGRA);
        ASSERT_TRUE(first.data && second.data);
        DataAnswer third = RequestFrame(*client, movie, 2002, kBGRA);
        EXPECT_EQ(AnswerValue(third.answer), c.code);
        EXPECT_FALSE(third.delivered);
        if (c.code == errors::kErrSessionFrameLimit) {
            EXPECT_EQ(AnswerValue(RequestAudio(*client, movie).answer), c.code);
        }
        ExpectOthersServed(server);
        // A frame given back makes room again.
        first = DataAnswer();
        EXPECT_TRUE(vireo::test::Eventually(
            [&] {
                DataAnswer next = RequestFrame(*client, movie, 2002, kBGRA);
                return AnswerValue(next.answer) == errors::kOK && next.delivered;
            },
            10000ms));
    }
}

}  // namespace
}  // namespace vireo::test::engine
