// Answers the real server would not give: errors, missing values, wrong kinds, refusals.
#include <signal.h>

#include <atomic>
#include <thread>

#include "Kino/VideoFrame.h"
#include "LibraryFixture.h"
#include "TimeScale.h"

namespace vireo::test::library {
namespace {

using basekit::utility::Guid;

std::string OpenAnswer(int code) {
    return R"("OpenMovieFromFile": )" +
           OpenResult(R"({"Video": {"Width": 64, "SupportedPixelFormats": []}})", code);
}

TEST_F(LibraryTest, PresenceIsAskedAgainAfterAnErrorAndAnAbsentEngineIsRemembered) {
    UseScript(R"({"methods": {"IsQuicktimePresent": [
        {"error": {"code": -5, "message": "no"}}, {"result": {"value": false}}]}})");
    ClientRef client = VireoClient::Create();
    EXPECT_EQ(VireoClient::PresenceState().load(), VireoClient::kPresenceUnknown);
    EXPECT_FALSE(client->IsQuicktimeAvailable());
    Recreate(client);
    EXPECT_FALSE(client->IsQuicktimeAvailable());
    EXPECT_EQ(VireoClient::PresenceState().load(), VireoClient::kPresenceAbsent);
    EXPECT_TRUE(WaitForLogCount("IsQuicktimePresent", 2));
    // A later client skips the connection altogether.
    Recreate(client);
    EXPECT_EQ(LogCount("IsQuicktimePresent"), 2u);
    EXPECT_FALSE(client->OpenMovieFromFile(u"/a.mov", false, false, false, [](auto const&) {}));
    // No catalogue is asked for unless the engine is present.
    EXPECT_EQ(LogCount("GetQuicktimeImportCodecs"), 0u);
}

TEST_F(LibraryTest, FlushIntervalIsInheritedAndTheDisableSettingIsExact) {
    UseScript(ConnectingScript());
    ClientRef client = VireoClient::Create();
    client->SetQTFlushIterval(-25);
    ASSERT_TRUE(WaitForLogCount("SetQTFlushIterval", 1));
    auto const sent = Logged("SetQTFlushIterval").at(0);
    EXPECT_EQ(sent.at("params").as_array().at(0).to_number<std::int64_t>(), -25);
    EXPECT_TRUE(sent.at("notification").as_bool());
    ClientRef unique = VireoClient::CreateUniqueInstance();
    EXPECT_TRUE(WaitForLogCount("SetQTFlushIterval", 2));

    // Only the exact, case-sensitive "true" disables.
    EXPECT_TRUE(client->IsQuicktimeAvailable());
    basekit::debug::DebugDatabase::Instance().SetEntry("QT.DisableVireo", "TRUE");
    EXPECT_TRUE(client->IsQuicktimeAvailable());
    basekit::debug::DebugDatabase::Instance().SetEntry("QT.DisableVireo", "true");
    EXPECT_FALSE(client->IsQuicktimeAvailable());
}

TEST_F(LibraryTest, ConnectionStepReadsCataloguesAndSurvivesAMalformedOne) {
    UseScript(R"({"methods": {
        "IsQuicktimePresent": {"result": {"value": true}},
        "GetQuicktimeImportCodecs": {"result": {"value": "not an array"}},
        "GetQuicktimeExportVideoCodecs": {"error": {"code": 1, "message": "x"}},
        "GetQuicktimeExportAudioCodecs": {"result": {}},
        "GetQTServerProcessID": {"result": {"value": 77}},
        "QTGetImportableFileExtensions": {"delayMs": 200, "result": {"value": [
            {"inImportableFileExtensionItem.extension": "mov",
             "inImportableFileExtensionItem.description": "QuickTime movie"}]}}}})");
    ClientRef client = VireoClient::Create();  // must not hang on the malformed catalogue
    std::vector<std::uint32_t> codecs{9};
    client->GetImportCodecs(codecs);
    EXPECT_TRUE(codecs.empty());
    EXPECT_TRUE(WaitForLogCount("GetQTServerProcessID", 1));
    EXPECT_EQ(LogCount("GetQTServerProcessID"), 1u);
    // The file types wait for their (late) answer.
    auto types = client->GetImportableFileExtensions();
    ASSERT_EQ(types.size(), 1u);
    EXPECT_EQ(types[0].extension, u"mov");
    EXPECT_EQ(types[0].description, u"QuickTime movie");
}

TEST_F(LibraryTest, OpenAnswersBecomeImportResultsAndEachMovieIsClosedOnce) {
    UseScript(ConnectingScript(R"("OpenMovieFromFile": [
        {"result": {}},
        {"error": {"code": -1, "message": "failed"}},
        {"result": {"value": "wrong kind"}},
        {"result": {"value": {"ImporterSDKErrorResult": 7}}},)" +
                               OpenResult() + "]"));
    ClientRef client = VireoClient::Create();
    // An answer without "value": success with an all-zero identifier.
    ImporterRef importer;
    EXPECT_EQ(VireoClient::ImportFile(u"/a.mov", true, false, true, importer), 0);
    ASSERT_TRUE(importer);
    EXPECT_TRUE(importer->GetMovieIdentifier().IsNull());
    // An error answer and a malformed answer: 5, and the out-parameter is emptied first.
    EXPECT_EQ(VireoClient::ImportFile(u"/a.mov", false, false, false, importer), 5);
    EXPECT_FALSE(importer);
    EXPECT_EQ(VireoClient::ImportFile(u"/a.mov", false, false, false, importer), 5);
    // The server's own code passes through, and nothing is closed.
    EXPECT_EQ(VireoClient::ImportFile(u"/a.mov", false, false, false, importer), 7);
    EXPECT_FALSE(importer);
    ASSERT_TRUE(WaitForLogCount("CloseMovie", 1));  // the first importer's

    ASSERT_EQ(VireoClient::ImportFile(u"/a.mov", false, false, false, importer), 0);
    EXPECT_EQ(importer->GetMovieIdentifier(), Guid(kMovieId));
    ImporterRef copy = importer;
    importer.reset();
    Flush(client);
    EXPECT_EQ(LogCount("CloseMovie"), 1u);
    copy.reset();
    ASSERT_TRUE(WaitForLogCount("CloseMovie", 2));
    Flush(client);  // a further close would be logged before this round trip
    auto const closes = Logged("CloseMovie");
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_EQ(closes[1].at("params").as_array().at(0), kMovieId);
    EXPECT_EQ(LogCount("OpenMovieFromFile"), 5u);
}

TEST_F(LibraryTest, RefusedFramesAndAudioReportTheServersCodeNeverSuccess) {
    UseScript(ConnectingScript(OpenAnswer(0) + R"(,
        "GetMovieVideo": {"result": {"value": 9}},
        "GetMovieAudio": [{"result": {"value": 0}}, {"result": {}}, {"result": {"value": -3}}],
        "QuietMovie": {}, "UnquietMovie": {}, "RestartMovieAudio": {})"));
    ClientRef client = VireoClient::Create();
    ImporterRef importer;
    ASSERT_EQ(VireoClient::ImportFile(u"/a.mov", false, false, false, importer), 0);
    // The refusal withdraws the data notification; the withdrawn notification must never
    // complete the request first with 0 and no frame.
    for (int i = 0; i < 50; ++i) {
        InterfaceRef<Kino::IVideoFrame> frame;
        EXPECT_EQ(importer->GetMovieVideo(i, VireoServer::PixelFormat(Kino::kPixelFormat_BGRA, 0),
                                          0, 0, frame),
                  9);
        EXPECT_FALSE(frame);
    }
    // The end, no value, a refusal: the caller's samples stay as they were.
    for (int i = 0; i < 3; ++i) {
        std::vector<float> samples{1.0f, 2.0f};
        importer->GetMovieAudio(samples);
        EXPECT_EQ(samples, (std::vector<float>{1.0f, 2.0f}));
    }
    importer->QuietMovie();  // returns once answered
    importer->UnquietMovie();
    importer->RestartMovieAudio();
    EXPECT_TRUE(WaitForLogCount("RestartMovieAudio", 1));
    EXPECT_EQ(LogCount("QuietMovie"), 1u);
    EXPECT_EQ(LogCount("UnquietMovie"), 1u);
}

TEST_F(LibraryTest, RequestsInFlightCompleteIndependentlyAndCancelOnce) {
    UseScript(ConnectingScript(OpenAnswer(0) + R"(,
        "GetMovieVideo": [{"delayMs": 150, "result": {"value": 3}},
                          {"result": {"value": 4}}, {"stall": true}],
        "CancelMovieVideo": {})"));
    ClientRef client = VireoClient::Create();
    ImporterRef importer;
    ASSERT_EQ(VireoClient::ImportFile(u"/a.mov", false, false, false, importer), 0);
    std::atomic<long> first{0}, second{0};
    std::atomic<int> calls{0};
    VireoServer::PixelFormat const bgra(Kino::kPixelFormat_BGRA, 0);
    Guid const a = Guid::CreateUnique(), b = Guid::CreateUnique(), c = Guid::CreateUnique();
    ASSERT_TRUE(importer->RequestMovieVideo(
        0, bgra, 0, 0,
        [&](InterfaceRef<Kino::IVideoFrame>, long r) {
            first = r;
            ++calls;
        },
        a));
    ASSERT_TRUE(importer->RequestMovieVideo(
        0, bgra, 0, 0,
        [&](InterfaceRef<Kino::IVideoFrame>, long r) {
            second = r;
            ++calls;
        },
        b));
    bool cancelledCalled = false;
    ASSERT_TRUE(importer->RequestMovieVideo(
        0, bgra, 0, 0, [&](InterfaceRef<Kino::IVideoFrame>, long) { cancelledCalled = true; }, c));
    ASSERT_TRUE(vireo::test::WaitUntil([&] { return calls == 2; }, vireo::test::Scaled(3000ms)));
    EXPECT_EQ(first.load(), 3);
    EXPECT_EQ(second.load(), 4);

    EXPECT_TRUE(importer->CancelMovieVideo(c));
    EXPECT_FALSE(importer->CancelMovieVideo(c));  // a second cancel sends nothing
    ASSERT_TRUE(WaitForLogCount("CancelMovieVideo", 1));
    // The stalled request holds the client until its session ends: end it. The cancelled
    // request must stay silent.
    for (pid_t server : Servers()) {
        kill(server, SIGKILL);
    }
    ASSERT_TRUE(WaitForEveryHandler(client, importer));
    EXPECT_FALSE(cancelledCalled);
    EXPECT_EQ(LogCount("CancelMovieVideo"), 1u);
}

}  // namespace
}  // namespace vireo::test::library
