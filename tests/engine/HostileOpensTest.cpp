// Opens that would block the server (a playlist of pipes, a playlist that fans out into hundreds
// of files) hold up no other client: while they run, another client reads frames and opens
// movies as usual.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "EngineTestSupport.h"
#include "MovieServerSupport.h"
#include "TimeScale.h"
#include "engine/Errors.h"
#include "engine/PixelFormats.h"

namespace vireo::test::engine {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using basekit::serialization::MakeVariant;
using basekit::utility::Guid;
namespace errors = vireo::engine;

std::chrono::milliseconds Since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// Opens one movie, closes it, and tells how long the open took (-1 ms when it failed).
std::chrono::milliseconds TimedOpen(MovieClient& client, std::string const& path) {
    auto const start = Clock::now();
    Answer opened = client.OpenLater(path).get();
    std::chrono::milliseconds const took = Since(start);
    if (OpenResult(opened) != errors::kOK)
        return -1ms;
    client.Call("CloseMovie", {MakeVariant(OpenedMovie(opened).AsUTF8String())});
    return took;
}

TEST(HostileOpens, TwoBlockingOpensHoldUpNoOtherClient) {
    // "pipes.m3u8" lists named pipes with no writer; "fan.m3u8" lists 450 variants, each opened
    // and probed in turn.
    vireo::test::TempDir dir("vireo-hostile");
    std::vector<std::string> const segments{"pipe0.ts", "pipe1.ts", "pipe2.ts"};
    for (auto const& segment : segments)
        ASSERT_EQ(::mkfifo((dir.Path() + "/" + segment).c_str(), 0600), 0);
    WritePlaylist(dir.Path(), "pipes.m3u8", segments);
    WriteFanOut(dir.Path());
    int const limitMs = vireo::test::ScaledMs(1500);
    MovieServer server("VireoServer.OpenTimeLimitMs=" + std::to_string(limitMs) + "\n");
    ASSERT_TRUE(server.Ready());
    std::unique_ptr<MovieClient> hostile = server.Connect();
    std::unique_ptr<MovieClient> reader = server.Connect();

    Answer opened = reader->OpenLater(SamplePath("h264_aac_tc.mov")).get();
    ASSERT_EQ(OpenResult(opened), errors::kOK);
    Guid const movie = OpenedMovie(opened);
    std::chrono::milliseconds usual{0};
    for (int i = 0; i < 3; ++i)
        usual = std::max(usual, TimedOpen(*reader, SamplePath("one_frame.mov")));

    auto const start = Clock::now();
    std::future<Answer> pipes = hostile->OpenLater(dir.Path() + "/pipes.m3u8");
    std::future<Answer> fan = hostile->OpenLater(dir.Path() + "/fan.m3u8");

    // Until the fan-out is cut by its limit, the reader reads frame after frame and opens a movie
    // every ten frames.
    int frames = 0, failedFrames = 0, opens = 0;
    std::chrono::milliseconds slowestOpen{0};
    while (fan.wait_for(0ms) != std::future_status::ready &&
           Since(start) < vireo::test::Scaled(60000ms)) {
        DataAnswer frame = RequestFrame(*reader, movie, (frames % 45) * 1001, errors::kFormatBGRA);
        if (AnswerValue(frame.answer) != errors::kOK || !frame.delivered)
            ++failedFrames;
        if (++frames % 10 == 0) {
            std::chrono::milliseconds took = TimedOpen(*reader, SamplePath("one_frame.mov"));
            EXPECT_GE(took.count(), 0) << "a valid movie did not open";
            slowestOpen = std::max(slowestOpen, took);
            ++opens;
        }
    }
    std::chrono::milliseconds const fanTook = Since(start);
    ASSERT_EQ(fan.wait_for(vireo::test::Scaled(20000ms)), std::future_status::ready);

    // The hostile opens end with their codes: refused at once, and cut at the limit.
    EXPECT_EQ(OpenResult(pipes.get()), errors::kErrReferenceRefused);
    EXPECT_EQ(OpenResult(fan.get()), errors::kErrOpenTimedOut);
    EXPECT_GE(fanTook.count(), limitMs);

    // Meanwhile the other client was served as usual: no frame failed, and its opens did not
    // wait behind the blocking ones (which take the whole limit).
    EXPECT_EQ(failedFrames, 0);
    EXPECT_GE(frames, 20);
    EXPECT_GE(opens, 2);
    EXPECT_LT(slowestOpen.count(), limitMs / 2)
        << "usual open " << usual.count() << " ms; " << frames << " frames and " << opens
        << " opens while the blocking opens ran for " << fanTook.count() << " ms";

    // Afterwards the hostile client is served too.
    Answer valid = hostile->OpenLater(SamplePath("one_frame.mov")).get();
    EXPECT_EQ(OpenResult(valid), errors::kOK);
}

}  // namespace
}  // namespace vireo::test::engine
