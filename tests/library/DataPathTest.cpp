// The data path: frames and audio published by the (scripted) server through shared memory, and
// how their notifications, the answers and the end of the session complete each request.
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "Kino/VideoFrame.h"
#include "LibraryFixture.h"
#include "TimeScale.h"
#include "crossprocess/Stats.h"

namespace vireo::test::library {
namespace {

using basekit::utility::Guid;
using FrameRef = InterfaceRef<Kino::IVideoFrame>;

VireoServer::PixelFormat const kBGRA(Kino::kPixelFormat_BGRA, 0);

// What one request reported (an audio request's count and samples, a frame request's result
// and frame), and how often.
struct Outcome {
    std::mutex mutex;
    int calls = 0;
    long code = 1;
    std::vector<float> samples;
    FrameRef frame;

    VireoClient::AudioCallback Audio() {
        return [this](long n, float const* data) {
            std::lock_guard<std::mutex> lock(mutex);
            ++calls;
            code = n;
            if (n > 0 && data) {
                samples.assign(data, data + n);
            }
        };
    }
    boost::function<void(FrameRef, long)> Frame() {
        return [this](FrameRef received, long result) {
            std::lock_guard<std::mutex> lock(mutex);
            ++calls;
            code = result;
            frame = received;
        };
    }
    int Calls() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    // Waits for the first call.
    bool Wait() {
        return vireo::test::WaitUntil([&] { return Calls() >= 1; }, vireo::test::Scaled(5000ms));
    }
};

class DataPathTest : public LibraryTest {
  protected:
    void Open(std::string const& methods) {
        UseScript(ConnectingScript(R"("OpenMovieFromFile": )" + OpenResult() + "," + methods));
        mClient = VireoClient::Create();
        ASSERT_EQ(VireoClient::ImportFile(u"/a.mov", false, false, false, mImporter), 0);
    }
    void TearDown() override {
        mImporter.reset();
        mClient.reset();
        LibraryTest::TearDown();
    }

    // The server's shared-data counter `name` as of its latest logged call.
    std::int64_t ServerCounter(char const* name) const {
        std::int64_t value = -1;
        for (auto const& line : mScript->ReadLog()) {
            if (auto const* counters = line.if_contains("crossprocess")) {
                value = counters->as_object().at(name).to_number<std::int64_t>();
            }
        }
        return value;
    }
    // Whether the server got `releases` releases and holds nothing for the client any more.
    // Every probe is a logged call that carries the server's counters.
    bool ServerGotEverythingBack(std::int64_t releases) {
        return vireo::test::WaitUntil(
            [&] {
                mClient->SetQTFlushIterval(1);
                std::this_thread::sleep_for(10ms);
                return ServerCounter("peerHolds") == 0 &&
                       ServerCounter("releasesReceived") >= releases;
            },
            vireo::test::Scaled(5000ms));
    }
    // The statuses of the server's publications, in order.
    std::vector<std::int64_t> PublishStatuses() const {
        std::vector<std::int64_t> statuses;
        for (auto const& line : mScript->ReadLog()) {
            auto const* event = line.if_contains("event");
            if (event && *event == "publish") {
                statuses.push_back(line.at("status").to_number<std::int64_t>());
            }
        }
        return statuses;
    }

    ClientRef mClient;
    ImporterRef mImporter;
};

// Byte b of row y of a scripted frame is (b + y) mod 256.
void ExpectScriptedPixels(Kino::IVideoFrame& frame, std::uint32_t usedRowBytes) {
    auto const* pixels = static_cast<unsigned char const*>(frame.GetPixels());
    ASSERT_NE(pixels, nullptr);
    ASSERT_GE(frame.GetDataSize(), std::uint64_t(frame.GetRowBytes()) * frame.GetHeight());
    for (std::uint32_t y = 0; y < frame.GetHeight(); ++y) {
        for (std::uint32_t b = 0; b < usedRowBytes; ++b) {
            ASSERT_EQ(pixels[std::size_t(y) * frame.GetRowBytes() + b],
                      static_cast<unsigned char>(b + y))
                << "row " << y << " byte " << b;
        }
    }
}

TEST_F(DataPathTest, AudioCountsWholeFloatsAndAnAnswerOfZeroEndsTheRequest) {
    Open(R"("GetMovieAudio": [
        {"publish": {"idParam": 1, "bytes": 10, "fill": "floats"}, "result": {"value": 2}},
        {"publish": {"idParam": 1, "bytes": 16, "fill": "floats"}, "result": {"value": 4}},
        {"result": {"value": 0}}])");
    Guid const movie(kMovieId);

    // 10 bytes carry two whole floats; the partial third is not reported.
    Outcome odd;
    ASSERT_TRUE(mClient->GetMovieAudio(movie, odd.Audio()));
    ASSERT_TRUE(odd.Wait());
    EXPECT_EQ(odd.code, 2);
    EXPECT_EQ(odd.samples, (std::vector<float>{0.0f, 1.0f}));

    // The blocking form copies the block out.
    std::vector<float> samples;
    mImporter->GetMovieAudio(samples);
    EXPECT_EQ(samples, (std::vector<float>{0.0f, 1.0f, 2.0f, 3.0f}));

    // 0 is the end of the audio: the request completes at once with nothing, although no data
    // notification will ever come for it.
    Outcome end;
    ASSERT_TRUE(mClient->GetMovieAudio(movie, end.Audio()));
    ASSERT_TRUE(end.Wait());
    EXPECT_EQ(end.code, 0);
    EXPECT_TRUE(end.samples.empty());

    EXPECT_TRUE(ServerGotEverythingBack(2));
    Flush(mClient);
    EXPECT_EQ(odd.Calls(), 1);
    EXPECT_EQ(end.Calls(), 1);
    EXPECT_EQ(crossprocess::GetStats().pendingNotifications, 0u);
}

TEST_F(DataPathTest, AcceptedFramesArriveThroughTheNotificationWithTheirPixels) {
    Open(R"("GetMovieVideo": [
        {"publish": {"idParam": 1, "frame": {"width": 64, "height": 48, "fourcc": "BGRA"}},
         "result": {"value": 0}},
        {"publish": {"idParam": 1,
                     "frame": {"width": 63, "height": 5, "fourcc": "2vuy", "rowBytes": 192}},
         "result": {"value": 0}}])");

    FrameRef frame;
    ASSERT_EQ(mImporter->GetMovieVideo(0, kBGRA, 0, 0, frame), 0);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->GetWidth(), 64u);
    EXPECT_EQ(frame->GetHeight(), 48u);
    EXPECT_EQ(frame->GetPixelFormat(), Kino::kPixelFormat_BGRA);
    EXPECT_GE(frame->GetRowBytes(), 256u);
    ExpectScriptedPixels(*frame, 256);

    // An odd width of a 4:2:2 format, with padded rows: the padding is kept as published.
    Outcome padded;
    ASSERT_TRUE(mImporter->RequestMovieVideo(0,
                                             VireoServer::PixelFormat(Kino::kPixelFormat_2vuy, 0),
                                             0, 0, padded.Frame(), Guid::CreateUnique()));
    ASSERT_TRUE(padded.Wait());
    ASSERT_EQ(padded.code, 0);
    ASSERT_TRUE(padded.frame);
    EXPECT_EQ(padded.frame->GetWidth(), 63u);
    EXPECT_EQ(padded.frame->GetPixelFormat(), Kino::kPixelFormat_2vuy);
    EXPECT_EQ(padded.frame->GetRowBytes(), 192u);
    ExpectScriptedPixels(*padded.frame, 192);

    // Frames the caller let go of are given back to the server.
    frame.reset();
    padded.frame.reset();
    EXPECT_TRUE(ServerGotEverythingBack(2));
}

TEST_F(DataPathTest, BadOrFailedDataIsAnErrorNeverASuccessWithoutAFrame) {
    Open(R"("GetMovieVideo": [
        {"publish": {"idParam": 1, "frame": {"width": 8, "height": 8, "fourcc": "BGRA",
                                              "corrupt": "rowBytes"}}, "result": {"value": 0}},
        {"publish": {"idParam": 1, "frame": {"width": 8, "height": 8, "fourcc": "BGRA",
                                              "corrupt": "magic"}}, "result": {"value": 0}},
        {"publish": {"idParam": 1, "frame": {"width": 8, "height": 8, "fourcc": "BGRA",
                                              "corrupt": "dataSize"}}, "result": {"value": 0}},
        {"publish": {"idParam": 1, "fail": -3}, "result": {"value": 0}},
        {"publish": {"idParam": 1, "fail": -6}, "result": {"value": 0}},
        {"publish": {"idParam": 1, "fail": 0}, "result": {"value": 0}}],
        "GetMovieAudio": {"publish": {"idParam": 1, "fail": -6}, "result": {"value": 7}})");
    // -6 is the library's own "withdrawn" status and 0 is success: a peer's failure must not
    // be taken for either.
    for (int i = 0; i < 6; ++i) {
        FrameRef frame;
        EXPECT_EQ(mImporter->GetMovieVideo(i, kBGRA, 0, 0, frame), -1) << "request " << i;
        EXPECT_FALSE(frame) << "request " << i;
    }
    // The server logs a publication after sending it, so its last line may come after the answer.
    ASSERT_TRUE(vireo::test::WaitUntil([&] { return PublishStatuses().size() == 6; },
                                       vireo::test::Scaled(5000ms)));
    EXPECT_EQ(PublishStatuses(), std::vector<std::int64_t>(6, 0));

    Outcome audio;
    ASSERT_TRUE(mClient->GetMovieAudio(Guid(kMovieId), audio.Audio()));
    ASSERT_TRUE(audio.Wait());
    EXPECT_EQ(audio.code, 0);

    // The refused frames' blocks went back to the server.
    EXPECT_TRUE(ServerGotEverythingBack(3));
    EXPECT_EQ(audio.Calls(), 1);
}

TEST_F(DataPathTest, ACancelThatWinsDropsTheLateFrameUnseen) {
    Open(R"("GetMovieVideo": {"delayMs": 300,
        "publish": {"idParam": 1, "frame": {"width": 32, "height": 32, "fourcc": "BGRA"}},
        "result": {"value": 0}},
        "CancelMovieVideo": {})");
    Outcome cancelled;
    Guid const request = Guid::CreateUnique();
    ASSERT_TRUE(mImporter->RequestMovieVideo(0, kBGRA, 0, 0, cancelled.Frame(), request));
    EXPECT_TRUE(mImporter->CancelMovieVideo(request));
    ASSERT_TRUE(WaitForLogCount("CancelMovieVideo", 1));

    // The server published anyway; the client took the frame and released it unseen.
    ASSERT_TRUE(vireo::test::WaitUntil([&] { return PublishStatuses().size() == 1; },
                                       vireo::test::Scaled(5000ms)));
    EXPECT_EQ(PublishStatuses().at(0), 0);
    EXPECT_TRUE(ServerGotEverythingBack(1));
    EXPECT_EQ(cancelled.Calls(), 0);
    EXPECT_TRUE(
        vireo::test::WaitUntil([] { return crossprocess::GetStats().pendingNotifications == 0; },
                               vireo::test::Scaled(2000ms)));

    // The client goes on working after the late frame.
    FrameRef frame;
    EXPECT_EQ(mImporter->GetMovieVideo(0, kBGRA, 0, 0, frame), 0);
    EXPECT_TRUE(frame);
    EXPECT_EQ(cancelled.Calls(), 0);
}

TEST_F(DataPathTest, TheSessionsEndCompletesEachRequestOnce) {
    Open(R"("GetMovieVideo": {"result": {"value": 0}},
            "GetMovieAudio": {
                "publish": {"idParam": 1, "bytes": 16, "fill": "floats", "afterMs": 100},
                "drop": true})");
    Outcome video;
    ASSERT_TRUE(mImporter->RequestMovieVideo(0, kBGRA, 0, 0, video.Frame(), Guid::CreateUnique()));
    ASSERT_TRUE(WaitForLogCount("GetMovieVideo", 1));
    // Accepted: the answer alone does not complete the request.
    Flush(mClient);
    EXPECT_EQ(video.Calls(), 0);

    // The audio's data comes before the session ends: the RPC error and the end of the session
    // that follow must not report it again. The accepted frame, whose data never came, fails.
    Outcome audio;
    ASSERT_TRUE(mClient->GetMovieAudio(Guid(kMovieId), audio.Audio()));
    ASSERT_TRUE(WaitForLogCount("session-end", 1, "event"));
    ASSERT_TRUE(WaitForEveryHandler(mClient, mImporter));
    EXPECT_EQ(video.Calls(), 1);
    EXPECT_EQ(video.code, -1);
    EXPECT_FALSE(video.frame);
    EXPECT_EQ(audio.Calls(), 1);
    EXPECT_EQ(audio.code, 4);
    EXPECT_EQ(audio.samples, (std::vector<float>{0.0f, 1.0f, 2.0f, 3.0f}));
}

}  // namespace
}  // namespace vireo::test::library
