// Frames rendered ahead on the server: a request for any other frame than the one rendered ahead
// still gets its own frame, requests within the limits are never refused because of them, and
// they go when their movie is closed or their session ends.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "EngineTestSupport.h"
#include "Kino/VideoFrame.h"
#include "MovieServerSupport.h"
#include "Pix/Pix.h"
#include "TestSupport.h"
#include "TimeScale.h"
#include "engine/Errors.h"
#include "engine/PixelFormats.h"

namespace vireo::test::engine {
namespace {

using basekit::serialization::MakeVariant;
using basekit::utility::Guid;
namespace errors = vireo::engine;

constexpr std::uint32_t kBGRA = vireo::engine::kFormatBGRA;
constexpr std::uint32_t k2vuy = vireo::engine::kFormat2vuy;

// Shared-memory segments that exist under `prefix` and are not this process's own.
int PeerSegments(std::string const& prefix) {
    std::string const own = "-" + std::to_string(::getpid()) + "-";
    int count = 0;
    for (auto const& item : std::filesystem::directory_iterator("/dev/shm")) {
        std::string const name = item.path().filename();
        count += name.rfind(prefix + "-", 0) == 0 && name.find(own) == std::string::npos;
    }
    return count;
}

// A server whose segments bear a prefix of this test's own, so that they can be counted.
struct CountedServer {
    explicit CountedServer(std::string const& settings = "")
        : prefix("vra" + std::to_string(::getpid())),
          env("VIREO_SHM_PREFIX", prefix.c_str()),
          server(settings) {}
    std::string const prefix;
    vireo::test::ScopedEnv env;
    MovieServer server;
};

TEST(ReadAhead, AnyOtherRequestThanTheFrameAheadGetsItsOwnFrame) {
    MovieServer server;
    ASSERT_TRUE(server.Ready());
    MovieClient& client = server.First();
    // B-frames: the frame after the one rendered ahead needs decoding in another order.
    Guid movie = OpenOrFail(client, "h264_aac_tc.mov");
    constexpr int kFrames = 45, kPeriod = 1001;
    // Reading on: each request finds the frame rendered after the last one.
    for (int n = 0; n < 4; ++n)
        EXPECT_EQ(FrameNumber(RequestFrame(client, movie, n * kPeriod, kBGRA), kFrames), n);
    // A seek forward, a seek back, the same frame again, another format, another size.
    EXPECT_EQ(FrameNumber(RequestFrame(client, movie, 30 * kPeriod, kBGRA), kFrames), 30);
    EXPECT_EQ(FrameNumber(RequestFrame(client, movie, 2 * kPeriod, kBGRA), kFrames), 2);
    EXPECT_EQ(FrameNumber(RequestFrame(client, movie, 2 * kPeriod, kBGRA), kFrames), 2);
    EXPECT_EQ(FrameNumber(RequestFrame(client, movie, 3 * kPeriod, k2vuy), kFrames, k2vuy), 3);
    DataAnswer smaller = RequestFrame(client, movie, 4 * kPeriod, k2vuy, 160, 120);
    EXPECT_EQ(FrameNumber(smaller, kFrames, k2vuy), 4);
    InterfaceRef<Kino::IVideoFrame> frame;
    ASSERT_GE(Pix::WrapVideoFrameAroundBinaryReference(smaller.data, Guid::CreateUnique(), frame),
              0);
    EXPECT_EQ(frame->GetWidth(), 160u);
    EXPECT_EQ(frame->GetHeight(), 120u);
    // The frame rendered ahead after the last one is the movie's last frame: none beyond.
    EXPECT_EQ(FrameNumber(RequestFrame(client, movie, (kFrames - 2) * kPeriod, kBGRA), kFrames),
              kFrames - 2);
    EXPECT_EQ(FrameNumber(RequestFrame(client, movie, (kFrames - 1) * kPeriod, kBGRA), kFrames),
              kFrames - 1);
    EXPECT_EQ(AnswerValue(RequestFrame(client, movie, kFrames * kPeriod, kBGRA).answer),
              errors::kErrTimeOutOfRange);
    // Quieting drops the frame ahead; reading goes on from where it was, and after unquieting.
    EXPECT_EQ(AnswerValue(client.Call("QuietMovie", {MakeVariant(movie.AsUTF8String())})), 0);
    EXPECT_EQ(FrameNumber(RequestFrame(client, movie, 5 * kPeriod, kBGRA), kFrames), 5);
    EXPECT_EQ(AnswerValue(client.Call("UnquietMovie", {MakeVariant(movie.AsUTF8String())})), 0);
    EXPECT_EQ(FrameNumber(RequestFrame(client, movie, 6 * kPeriod, kBGRA), kFrames), 6);
}

TEST(ReadAhead, TakesNoRoomARequestWithinTheLimitsNeeds) {
    // Three 176 x 144 frames held at most; each movie read on holding every frame it was given.
    CountedServer counted("VireoServer.MaxHeldFramesPerSession=3\n");
    ASSERT_TRUE(counted.server.Ready());
    std::unique_ptr<MovieClient> client = counted.server.Connect();
    std::vector<Guid> movies;
    for (int i = 0; i < 3; ++i)
        movies.push_back(OpenOrFail(*client, "mjpeg_pcm.avi"));
    for (int round = 0; round < 4; ++round) {
        std::vector<DataAnswer> held;
        for (Guid const& movie : movies) {
            held.push_back(RequestFrame(*client, movie, round, kBGRA));
            EXPECT_EQ(FrameNumber(held.back(), 30), round);
        }
        EXPECT_EQ(AnswerValue(RequestFrame(*client, movies[0], round + 1, kBGRA).answer),
                  errors::kErrSessionFrameLimit);
        // What the client holds, and at most two frames ahead for the whole session.
        EXPECT_LE(PeerSegments(counted.prefix), 3 + 2);
        // Frames given back make room again (the release is a message: wait for it).
        held.clear();
        EXPECT_TRUE(vireo::test::Eventually(
            [&] {
                return AnswerValue(RequestFrame(*client, movies[0], round, kBGRA).answer) ==
                       errors::kOK;
            },
            std::chrono::milliseconds(10000)));
    }
}

TEST(ReadAhead, FramesAheadGoWithTheirMovieAndSession) {
    CountedServer counted;
    ASSERT_TRUE(counted.server.Ready());
    // Each cycle leaves a frame rendered ahead behind it when it closes: were it kept, every
    // cycle would keep a block. Idle blocks are pooled (8 of a size at most), so the segments
    // stay few.
    std::unique_ptr<MovieClient> client = counted.server.Connect();
    for (int i = 0; i < 12; ++i) {
        Guid movie = OpenOrFail(*client, "mjpeg_pcm.avi");
        EXPECT_EQ(FrameNumber(RequestFrame(*client, movie, 0, kBGRA), 30), 0);
        EXPECT_EQ(AnswerValue(client->Call("CloseMovie", {MakeVariant(movie.AsUTF8String())})), 0);
    }
    for (int i = 0; i < 12; ++i) {
        std::unique_ptr<MovieClient> passing = counted.server.Connect();
        Guid movie = OpenOrFail(*passing, "mjpeg_pcm.avi");
        EXPECT_EQ(FrameNumber(RequestFrame(*passing, movie, 0, kBGRA), 30), 0);
    }
    // A round trip on the remaining session after the others ended: in the server, the ends of
    // the sessions were handled before it, and the releases they queued are done by the time a
    // new movie of this session has answered a frame (the pool works on one strand per movie,
    // so wait for the count rather than for one task).
    Guid last = OpenOrFail(*client, "mjpeg_pcm.avi");
    EXPECT_EQ(FrameNumber(RequestFrame(*client, last, 0, kBGRA), 30), 0);
    EXPECT_TRUE(vireo::test::Eventually([&] { return PeerSegments(counted.prefix) <= 8 + 2; },
                                        std::chrono::milliseconds(10000)))
        << PeerSegments(counted.prefix) << " segments";
}

}  // namespace
}  // namespace vireo::test::engine
