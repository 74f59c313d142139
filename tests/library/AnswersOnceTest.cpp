// Every asynchronous operation answers its callback exactly once, whatever the callback does; an
// answer that cannot be read takes the error path; a blocking call made on a thread that runs
// handlers fails at once instead of waiting for itself.
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

constexpr char kMovieId[] = "{11111111-2222-3333-4444-555555555555}";
VireoServer::PixelFormat const kBGRA(Kino::kPixelFormat_BGRA, 0);

// Collects the reports made while it lives (kind and condition), and restores the handler.
class Reports {
  public:
    Reports() {
        mPrevious = basekit::debug::SetReportHandler([this](basekit::debug::Report const& r) {
            std::lock_guard<std::mutex> lock(mMutex);
            mSeen.push_back({r.kind, r.condition});
            return false;
        });
    }
    ~Reports() { basekit::debug::SetReportHandler(mPrevious); }

    std::size_t Count(basekit::debug::ReportKind kind) {
        std::lock_guard<std::mutex> lock(mMutex);
        std::size_t n = 0;
        for (auto const& seen : mSeen) {
            n += seen.first == kind ? 1 : 0;
        }
        return n;
    }
    bool WaitFor(basekit::debug::ReportKind kind, std::size_t count) {
        return vireo::test::WaitUntil([&] { return Count(kind) >= count; },
                                      vireo::test::Scaled(5000ms));
    }

  private:
    std::mutex mMutex;
    std::vector<std::pair<basekit::debug::ReportKind, std::string>> mSeen;
    basekit::debug::ReportHandler mPrevious;
};

std::string OpenResult(std::string const& properties) {
    return R"({"result": {"value": {"MovieIdentifier": ")" + std::string(kMovieId) +
           R"(", "ImporterSDKErrorResult": 0, "MovieProperties": )" + properties + "}}}";
}

class AnswersOnceTest : public LibraryTest {
  protected:
    // A round trip on the session: its answer comes after every answer sent before it, so
    // whatever an earlier handler was going to do has been done.
    void Flush() {
        basekit::UTF16String name = u"unchanged";
        mClient->GetQuicktimeCodecName(0x7A7A7A00u + mFlushes++, name);
    }

    ClientRef mClient;
    std::uint32_t mFlushes = 0;
};

TEST_F(AnswersOnceTest, EveryAsynchronousOperationAnswersOnceWhenItsCallbackThrows) {
    UseScript(ConnectingScript(
        R"("GetQuicktimeCodecName": {"result": {"value": "flush"}},
           "OpenMovieFromFile": [)" +
        OpenResult("{}") + R"(, {"error": {"code": -3, "message": "refused"}}],
           "QuietMovie": [{}, {"error": {"code": -3, "message": "refused"}}],
           "GetMovieVideo": [
               {"publish": {"idParam": 1, "frame": {"width": 8, "height": 8, "fourcc": "BGRA"}},
                "result": {"value": 0}},
               {"result": {"value": -50}}],
           "GetMovieAudio": [
               {"publish": {"idParam": 1, "bytes": 8, "fill": "floats"}, "result": {"value": 2}},
               {"result": {"value": 0}}])"));
    mClient = VireoClient::Create();
    ASSERT_TRUE(mClient->IsQuicktimeAvailable());
    Reports reports;
    Guid const movie(kMovieId);
    auto const failure = basekit::debug::ReportKind::kFailure;

    // Each operation twice: once answered, once failed by the server; the callback throws
    // both times.
    std::atomic<int> opened{0};
    std::vector<long> openCodes;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(
            mClient->OpenMovieFromFile(u"/a.mov", false, false, false,
                                       [&](VireoServer::OpenMovieFromFileResult const& result) {
                                           openCodes.push_back(result.ImporterSDKErrorResult);
                                           ++opened;
                                           throw std::runtime_error("the caller's callback failed");
                                       }));
        ASSERT_TRUE(reports.WaitFor(failure, i + 1));
        Flush();
        EXPECT_EQ(opened.load(), i + 1);
    }
    EXPECT_EQ(openCodes, (std::vector<long>{0, 5}));

    std::atomic<int> quieted{0};
    for (int i = 0; i < 2; ++i) {
        mClient->QuietMovie(movie, [&] {
            ++quieted;
            throw std::logic_error("the caller's callback failed");
        });
        ASSERT_TRUE(reports.WaitFor(failure, 3 + i));
        Flush();
        EXPECT_EQ(quieted.load(), i + 1);
    }

    std::atomic<int> frames{0};
    std::vector<long> frameCodes;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(mClient->GetMovieVideo(
            movie, 0, kBGRA, 0, 0,
            [&](FrameRef const& frame, long code) {
                frameCodes.push_back(frame ? code : code - 1000);
                ++frames;
                throw 42;  // not even a std::exception
            },
            Guid::CreateUnique()));
        ASSERT_TRUE(reports.WaitFor(failure, 5 + i));
        Flush();
        EXPECT_EQ(frames.load(), i + 1);
    }
    EXPECT_EQ(frameCodes, (std::vector<long>{0, -1050}));

    std::atomic<int> blocks{0};
    std::vector<long> counts;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(mClient->GetMovieAudio(movie, [&](long count, float const*) {
            counts.push_back(count);
            ++blocks;
            throw std::runtime_error("the caller's callback failed");
        }));
        ASSERT_TRUE(reports.WaitFor(failure, 7 + i));
        Flush();
        EXPECT_EQ(blocks.load(), i + 1);
    }
    EXPECT_EQ(counts, (std::vector<long>{2, 0}));

    // The client is none the worse for it.
    ImporterRef importer;
    EXPECT_EQ(VireoClient::ImportFile(u"/b.mov", false, false, false, importer), 5);
    EXPECT_EQ(reports.Count(failure), 8u);
}

TEST_F(AnswersOnceTest, AnAnswerThatCannotBeReadTakesTheErrorPathOnce) {
    UseScript(ConnectingScript(R"("OpenMovieFromFile": [)" +
                               OpenResult(R"({"Video": {"Width": 64}})") + "," +
                               OpenResult(R"({"Audio": {"ChannelLayout": "stereo"}})") + R"(],
           "GetQuicktimeCodecName": {"result": {"value": 17}},
           "GetMovieVideo": {"result": {"value": "zero"}},
           "GetMovieAudio": {"result": {"value": [1]}})"));
    mClient = VireoClient::Create();
    Reports reports;

    // A required array missing, an array of the wrong kind: the failure record, once.
    for (int i = 0; i < 2; ++i) {
        ImporterRef importer;
        EXPECT_EQ(VireoClient::ImportFile(u"/a.mov", false, false, false, importer), 5);
        EXPECT_FALSE(importer);
    }
    // A number where text is expected: the caller's string stays as it was.
    basekit::UTF16String name = u"as passed";
    mClient->GetQuicktimeCodecName(0x61626364u, name);
    EXPECT_EQ(name, u"as passed");

    std::atomic<int> frames{0};
    std::atomic<long> frameCode{1};
    ASSERT_TRUE(mClient->GetMovieVideo(
        Guid(kMovieId), 0, kBGRA, 0, 0,
        [&](FrameRef const&, long code) {
            frameCode = code;
            ++frames;
        },
        Guid::CreateUnique()));
    std::atomic<int> blocks{0};
    ASSERT_TRUE(mClient->GetMovieAudio(Guid(kMovieId), [&](long count, float const*) {
        EXPECT_EQ(count, 0);
        ++blocks;
    }));
    ASSERT_TRUE(vireo::test::WaitUntil([&] { return frames == 1 && blocks == 1; },
                                       vireo::test::Scaled(5000ms)));
    name = u"flush";
    mClient->GetQuicktimeCodecName(0x61626365u, name);  // the same answer: a flush
    EXPECT_EQ(frames.load(), 1);
    EXPECT_EQ(frameCode.load(), -1);
    EXPECT_EQ(blocks.load(), 1);
    // Each unreadable answer was reported where it was caught.
    EXPECT_EQ(reports.Count(basekit::debug::ReportKind::kFailure), 6u);
}

TEST_F(AnswersOnceTest, BlockingCallsOnAHandlerThreadFailAtOnce) {
    UseScript(ConnectingScript(R"("OpenMovieFromFile": )" + OpenResult("{}") + R"(,
           "GetQuicktimeCodecName": {"result": {"value": "name"}},
           "QuietMovie": {"stall": true},
           "GetMovieVideo": {"stall": true},
           "GetMovieAudio": {"stall": true})"));
    mClient = VireoClient::Create();
    ImporterRef importer;
    ASSERT_EQ(VireoClient::ImportFile(u"/a.mov", false, false, false, importer), 0);
    Reports reports;
    auto const contract = basekit::debug::ReportKind::kContract;
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
        mClient->GetQuicktimeCodecName(0x61626364u, name);
        EXPECT_EQ(name, u"as passed");
        EXPECT_EQ(reports.Count(contract), 5u);
    }
    {
        basekit::threads::ScopedThreadRole role(basekit::threads::ThreadRole::kSharedData);
        FrameRef frame;
        EXPECT_EQ(importer->GetMovieVideo(0, kBGRA, 0, 0, frame), -1);
    }
    EXPECT_EQ(reports.Count(contract), 6u);
    // Back on a caller's thread the same calls go to the server.
    basekit::UTF16String name;
    mClient->GetQuicktimeCodecName(0x61626364u, name);
    EXPECT_EQ(name, u"name");
    EXPECT_EQ(LogCount("OpenMovieFromFile"), 1u);
    for (char const* method : {"QuietMovie", "GetMovieVideo", "GetMovieAudio"}) {
        EXPECT_EQ(LogCount(method), 0u) << method;
    }
}

TEST_F(AnswersOnceTest, AnImportFromInsideAnAnswerFailsAtOnceWhereTheTransportMarksItsThreads) {
    UseScript(ConnectingScript(R"("OpenMovieFromFile": )" + OpenResult("{}")));
    mClient = VireoClient::Create();
    Reports reports;
    std::atomic<bool> marked{false};
    std::atomic<long> inner{1};
    auto outcome = std::make_shared<std::atomic<int>>(0);
    ASSERT_TRUE(mClient->OpenMovieFromFile(
        u"/a.mov", false, false, false, [&, outcome](VireoServer::OpenMovieFromFileResult const&) {
            marked = basekit::threads::IsHandlerThread();
            if (marked) {
                ImporterRef importer;
                inner = VireoClient::ImportFile(u"/b.mov", false, false, false, importer);
            }
            ++*outcome;
        }));
    ASSERT_TRUE(vireo::test::WaitUntil([&] { return *outcome == 1; }, vireo::test::Scaled(5000ms)));
    if (!marked) {
        GTEST_SKIP() << "the transport does not mark the threads that run answers";
    }
    EXPECT_EQ(inner.load(), 5);
    EXPECT_EQ(reports.Count(basekit::debug::ReportKind::kContract), 1u);
}

}  // namespace
}  // namespace vireo::test::library
