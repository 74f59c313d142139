// Every asynchronous operation answers its callback exactly once, whatever the callback does; an
// answer that cannot be read takes the error path; a blocking call made on a thread that runs
// handlers fails at once instead of waiting for itself.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "Kino/VideoFrame.h"
#include "LibraryFixture.h"
#include "TimeScale.h"
#include "basekit/threads/ThreadRole.h"

namespace vireo::test::library {
namespace {

using basekit::utility::Guid;
using FrameRef = InterfaceRef<Kino::IVideoFrame>;
using basekit::debug::ReportKind;

VireoServer::PixelFormat const kBGRA(Kino::kPixelFormat_BGRA, 0);

// Counts the reports of each kind made while it lives, and restores the handler.
class Reports {
  public:
    Reports() {
        mPrevious = basekit::debug::SetReportHandler([this](basekit::debug::Report const& r) {
            std::lock_guard<std::mutex> lock(mMutex);
            mSeen.push_back(r.kind);
            return false;
        });
    }
    ~Reports() { basekit::debug::SetReportHandler(mPrevious); }

    std::size_t Count(ReportKind kind) {
        std::lock_guard<std::mutex> lock(mMutex);
        return std::size_t(std::count(mSeen.begin(), mSeen.end(), kind));
    }
    bool WaitFor(ReportKind kind, std::size_t count) {
        return vireo::test::WaitUntil([&] { return Count(kind) >= count; },
                                      vireo::test::Scaled(5000ms));
    }

  private:
    std::mutex mMutex;
    std::vector<ReportKind> mSeen;
    basekit::debug::ReportHandler mPrevious;
};

TEST_F(LibraryTest, EveryAsynchronousOperationAnswersOnceWhenItsCallbackThrows) {
    UseScript(ConnectingScript(
        R"("GetQuicktimeCodecName": {"result": {"value": "flush"}},
           "OpenMovieFromFile": [)" +
        OpenResult() + R"(, {"error": {"code": -3, "message": "refused"}}],
           "QuietMovie": [{}, {"error": {"code": -3, "message": "refused"}}],
           "GetMovieVideo": [
               {"publish": {"idParam": 1, "frame": {"width": 8, "height": 8, "fourcc": "BGRA"}},
                "result": {"value": 0}},
               {"result": {"value": -50}}],
           "GetMovieAudio": [
               {"publish": {"idParam": 1, "bytes": 8, "fill": "floats"}, "result": {"value": 2}},
               {"result": {"value": 0}}])"));
    ClientRef client = VireoClient::Create();
    ASSERT_TRUE(client->IsQuicktimeAvailable());
    Reports reports;
    Guid const movie(kMovieId);

    // Each operation twice: once answered, once failed by the server; the callback throws
    // both times and is called once each time.
    std::size_t failures = 0;
    auto twice = [&](std::atomic<int> const& calls, auto const& send) {
        for (int i = 0; i < 2; ++i) {
            send();
            ASSERT_TRUE(reports.WaitFor(ReportKind::kFailure, ++failures));
            Flush(client);
            EXPECT_EQ(calls.load(), i + 1);
        }
    };
    std::atomic<int> opened{0}, quieted{0}, frames{0}, blocks{0};
    std::vector<long> openCodes, frameCodes, counts;
    twice(opened, [&] {
        ASSERT_TRUE(client->OpenMovieFromFile(
            u"/a.mov", false, false, false, [&](VireoServer::OpenMovieFromFileResult const& r) {
                openCodes.push_back(r.ImporterSDKErrorResult);
                ++opened;
                throw std::runtime_error("the caller's callback failed");
            }));
    });
    twice(quieted, [&] {
        client->QuietMovie(movie, [&] {
            ++quieted;
            throw std::logic_error("the caller's callback failed");
        });
    });
    twice(frames, [&] {
        ASSERT_TRUE(client->GetMovieVideo(
            movie, 0, kBGRA, 0, 0,
            [&](FrameRef const& frame, long code) {
                frameCodes.push_back(frame ? code : code - 1000);
                ++frames;
                throw 42;  // not even a std::exception
            },
            Guid::CreateUnique()));
    });
    twice(blocks, [&] {
        ASSERT_TRUE(client->GetMovieAudio(movie, [&](long count, float const*) {
            counts.push_back(count);
            ++blocks;
            throw std::runtime_error("the caller's callback failed");
        }));
    });
    EXPECT_EQ(openCodes, (std::vector<long>{0, 5}));
    EXPECT_EQ(frameCodes, (std::vector<long>{0, -1050}));
    EXPECT_EQ(counts, (std::vector<long>{2, 0}));

    // The client is none the worse for it.
    ImporterRef importer;
    EXPECT_EQ(VireoClient::ImportFile(u"/b.mov", false, false, false, importer), 5);
    EXPECT_EQ(reports.Count(ReportKind::kFailure), 8u);
}

TEST_F(LibraryTest, AnAnswerThatCannotBeReadTakesTheErrorPathOnce) {
    UseScript(ConnectingScript(R"("OpenMovieFromFile": [)" +
                               OpenResult(R"({"Video": {"Width": 64}})") + "," +
                               OpenResult(R"({"Audio": {"ChannelLayout": "stereo"}})") + R"(],
           "GetQuicktimeCodecName": {"result": {"value": 17}},
           "GetMovieVideo": {"result": {"value": "zero"}},
           "GetMovieAudio": {"result": {"value": [1]}})"));
    ClientRef client = VireoClient::Create();
    Reports reports;

    // A required array missing, an array of the wrong kind: the failure record, once.
    for (int i = 0; i < 2; ++i) {
        ImporterRef importer;
        EXPECT_EQ(VireoClient::ImportFile(u"/a.mov", false, false, false, importer), 5);
        EXPECT_FALSE(importer);
    }
    // A number where text is expected: the caller's string stays as it was.
    basekit::UTF16String name = u"as passed";
    client->GetQuicktimeCodecName(0x61626364u, name);
    EXPECT_EQ(name, u"as passed");

    std::atomic<int> frames{0};
    std::atomic<long> frameCode{1};
    ASSERT_TRUE(client->GetMovieVideo(
        Guid(kMovieId), 0, kBGRA, 0, 0,
        [&](FrameRef const&, long code) {
            frameCode = code;
            ++frames;
        },
        Guid::CreateUnique()));
    std::atomic<int> blocks{0};
    ASSERT_TRUE(client->GetMovieAudio(Guid(kMovieId), [&](long count, float const*) {
        EXPECT_EQ(count, 0);
        ++blocks;
    }));
    ASSERT_TRUE(vireo::test::WaitUntil([&] { return frames == 1 && blocks == 1; },
                                       vireo::test::Scaled(5000ms)));
    Flush(client);
    EXPECT_EQ(frames.load(), 1);
    EXPECT_EQ(frameCode.load(), -1);
    EXPECT_EQ(blocks.load(), 1);
    // Each unreadable answer was reported where it was caught (the flush's answer too).
    EXPECT_EQ(reports.Count(ReportKind::kFailure), 6u);
}

TEST_F(LibraryTest, BlockingCallsOnAHandlerThreadFailAtOnce) {
    UseScript(ConnectingScript(R"("OpenMovieFromFile": )" + OpenResult() + R"(,
           "GetQuicktimeCodecName": {"result": {"value": "name"}},
           "QuietMovie": {"stall": true},
           "GetMovieVideo": {"stall": true},
           "GetMovieAudio": {"stall": true})"));
    ClientRef client = VireoClient::Create();
    ImporterRef importer;
    ASSERT_EQ(VireoClient::ImportFile(u"/a.mov", false, false, false, importer), 0);
    Reports reports;
    {
        // This thread now counts as one that delivers answers. Every request below would stall
        // for ever; none is sent.
        basekit::threads::ScopedThreadRole role(basekit::threads::ThreadRole::kDelivery);
        ImporterRef second = importer;
        EXPECT_EQ(VireoClient::ImportFile(u"/b.mov", false, false, false, second), 5);
        EXPECT_FALSE(second);  // the out-parameter is emptied all the same
        FrameRef frame;
        EXPECT_EQ(importer->GetMovieVideo(0, kBGRA, 0, 0, frame), -1);
        std::vector<float> samples{7.0f};
        importer->GetMovieAudio(samples);
        EXPECT_EQ(samples, std::vector<float>{7.0f});
        importer->QuietMovie();
        basekit::UTF16String name = u"as passed";
        client->GetQuicktimeCodecName(0x61626364u, name);
        EXPECT_EQ(name, u"as passed");
        EXPECT_EQ(reports.Count(ReportKind::kContract), 5u);
    }
    {
        basekit::threads::ScopedThreadRole role(basekit::threads::ThreadRole::kSharedData);
        FrameRef frame;
        EXPECT_EQ(importer->GetMovieVideo(0, kBGRA, 0, 0, frame), -1);
    }
    EXPECT_EQ(reports.Count(ReportKind::kContract), 6u);
    // Back on a caller's thread the same calls go to the server.
    basekit::UTF16String name;
    client->GetQuicktimeCodecName(0x61626364u, name);
    EXPECT_EQ(name, u"name");
    EXPECT_EQ(LogCount("OpenMovieFromFile"), 1u);
    for (char const* method : {"QuietMovie", "GetMovieVideo", "GetMovieAudio"}) {
        EXPECT_EQ(LogCount(method), 0u) << method;
    }

    // An import from inside an answer fails at once where the transport marks its threads.
    std::atomic<bool> marked{false};
    std::atomic<long> inner{1};
    auto outcome = std::make_shared<std::atomic<int>>(0);
    ASSERT_TRUE(client->OpenMovieFromFile(
        u"/a.mov", false, false, false, [&, outcome](VireoServer::OpenMovieFromFileResult const&) {
            marked = basekit::threads::IsHandlerThread();
            if (marked) {
                ImporterRef inside;
                inner = VireoClient::ImportFile(u"/b.mov", false, false, false, inside);
            }
            ++*outcome;
        }));
    ASSERT_TRUE(vireo::test::WaitUntil([&] { return *outcome == 1; }, vireo::test::Scaled(5000ms)));
    if (!marked) {
        GTEST_SKIP() << "the transport does not mark the threads that run answers";
    }
    EXPECT_EQ(inner.load(), 5);
    EXPECT_EQ(reports.Count(ReportKind::kContract), 7u);
}

}  // namespace
}  // namespace vireo::test::library
