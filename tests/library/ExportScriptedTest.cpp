// Export and catalogue edge cases with the scripted server: answers the real server would not
// give (errors, missing values, records naming other identifiers, malformed catalogues) and the
// no-server outcomes.
#include <future>

#include "Apphost/ApplicationType.h"
#include "ExportHost.h"
#include "LibraryFixture.h"

namespace vireo::test::library {
namespace {

using basekit::utility::Guid;

constexpr char kExporter[] = "{AAAAAAAA-0000-0000-0000-000000000001}";
constexpr char kFrameA[] = "{AAAAAAAA-0000-0000-0000-00000000000A}";
constexpr char kFrameB[] = "{AAAAAAAA-0000-0000-0000-00000000000B}";

std::string FrameRecord(char const* frame, int number, int code) {
    return std::string(R"({"value": {"inFrameReceivedData.mExporterInstanceID": ")") + kExporter +
           R"(", "inFrameReceivedData.mPublishedFrameIdentifier": ")" + frame +
           R"(", "inFrameReceivedData.mFrameNumber": )" + std::to_string(number) +
           R"(, "inFrameReceivedData.mExporterResultCode": )" + std::to_string(code) + "}}";
}

// Keeps what each callback was called with, in order.
struct Calls {
    std::mutex mutex;
    std::vector<VireoServer::ExportFrameReceivedData> frames;
    std::vector<VireoServer::ExportAudioDataReceived> audio;
    std::vector<VireoServer::ExportCompletedData> completions;
    std::vector<std::pair<std::int32_t, std::uint32_t>> pulses;

    // A callback that keeps its argument in `into` and, when `throws`, then throws as a faulty
    // host's callback would.
    template <class T>
    std::function<void(T)> Keep(std::vector<T>& into, bool throws) {
        return [this, &into, throws](T record) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                into.push_back(record);
            }
            if (throws)
                throw std::runtime_error("the host's callback fails");
        };
    }
    VireoClient::ExportFrameCallback Frame(bool throws = false) { return Keep(frames, throws); }
    VireoClient::ExportAudioCallback Audio(bool throws = false) { return Keep(audio, throws); }
    VireoClient::ExportCompletionCallback Completion(bool throws = false) {
        return Keep(completions, throws);
    }
    VireoClient::ExportProgressCallback Pulse(bool throws = false) {
        auto keep = Keep(pulses, throws);
        return [keep](std::int32_t status, std::uint32_t value) { keep({status, value}); };
    }
    std::size_t Frames() {
        std::lock_guard<std::mutex> lock(mutex);
        return frames.size();
    }
};

TEST_F(LibraryTest, StartExportPassesTheServersCodeOr3WithoutAnAnswer) {
    UseScript(ConnectingScript(R"("StartExport": [{"result": {"value": -2210}}, {"result": {}},
                                                  {"error": {"code": -5, "message": "gone"}}])"));
    ClientRef client = VireoClient::Create();
    VireoServer::StartExportData settings;
    settings.mVideoCodecFourCC = std::int32_t(0x80000001u);
    settings.mAlphaMatteColor = 0x80000002u;
    Guid const id(kExporter);
    EXPECT_EQ(client->StartExport(id, settings), -2210);
    EXPECT_EQ(client->StartExport(id, settings), 0);  // no "value"
    EXPECT_EQ(client->StartExport(id, settings), 3);  // an error answer

    // What went on the wire: the identifier, then the record with every field.
    auto const sent = Logged("StartExport").at(0);
    auto const& params = sent.at("params").as_array();
    EXPECT_EQ(params.at(0).as_string(), Guid(kExporter).AsUTF8String());
    auto const& record = params.at(1).as_object();
    EXPECT_EQ(record.size(), 49u);
    EXPECT_TRUE(record.at("inStartExportData.mExportMarkers").as_array().empty());
    EXPECT_TRUE(record.at("inStartExportData.mExportCaptions").as_array().empty());
    EXPECT_EQ(record.at("inStartExportData.mFilePath").as_string(), "");
    EXPECT_EQ(record.at("inStartExportData.mVideoCodecFourCC").to_number<std::int64_t>(),
              -2147483647);
    EXPECT_EQ(record.at("inStartExportData.mAlphaMatteColor").to_number<std::int64_t>(),
              0x80000002LL);
}

TEST_F(LibraryTest, FrameAnswersAreDeliveredByTheIdentifierTheyCarry) {
    // The first answer, late, names the second frame; the second names the first.
    UseScript(ConnectingScript(R"("CompressAndWriteFrame": [
        {"delayMs": 300, "result": )" +
                               FrameRecord(kFrameB, 2, 0) + R"(},
        {"result": )" + FrameRecord(kFrameA, 1, -7) +
                               R"(},
        {"result": {}}], "GetQuicktimeCodecName": {"result": {}})"));
    ClientRef client = VireoClient::Create();
    Calls a, b, c;
    client->CompressAndWriteFrame(Guid(kExporter), Guid(kFrameA), 1, 0, false, a.Frame());
    client->CompressAndWriteFrame(Guid(kExporter), Guid(kFrameB), 0x80000002u, 0, false, b.Frame());
    // A third whose answer has no "value": it stays pending, nothing is called.
    Guid const third = Guid::CreateUnique();
    client->CompressAndWriteFrame(Guid(kExporter), third, 3, 0, false, c.Frame());
    ASSERT_TRUE(WaitForLogCount("CompressAndWriteFrame", 3));
    ASSERT_TRUE(vireo::test::WaitUntil([&] { return a.Frames() == 1 && b.Frames() == 1; },
                                       vireo::test::Scaled(5000ms)));
    Flush(client);
    ASSERT_EQ(a.Frames(), 1u);
    ASSERT_EQ(b.Frames(), 1u);
    EXPECT_EQ(c.Frames(), 0u);
    EXPECT_EQ(a.frames[0].mExporterResultCode, -7);
    EXPECT_EQ(b.frames[0].mFrameNumber, 2u);  // as the server sent it

    // A frame number with its top bit set went as a positive unsigned integer.
    EXPECT_EQ(Logged("CompressAndWriteFrame")
                  .at(1)
                  .at("params")
                  .as_array()
                  .at(2)
                  .to_number<std::uint64_t>(),
              0x80000002u);
}

TEST_F(LibraryTest, ErrorAnswersBecomeRecordsWithMinusOne) {
    UseScript(ConnectingScript(R"(
        "CompressAndWriteFrame": {"error": {"code": -32000, "message": "x"}},
        "CompressAndWriteAudio": {"error": {"code": -32000, "message": "x"}},
        "ExportCompleted": {"error": {"code": -32000, "message": "x"}},
        "ExportServerProgressPulse": {"error": {"code": -32000, "message": "x"}})"));
    ClientRef client = VireoClient::Create();
    Calls calls;
    Guid const id(kExporter), frame(kFrameA), audio(kFrameB);
    client->CompressAndWriteFrame(id, frame, 12, 0, true, calls.Frame());
    client->CompressAndWriteAudio(id, audio, 480, 960, calls.Audio());
    client->ExportServerProgressPulse(id, calls.Pulse());
    client->ExportCompleted(id, 0, calls.Completion());
    Flush(client);
    std::lock_guard<std::mutex> lock(calls.mutex);
    ASSERT_EQ(calls.frames.size(), 1u);
    EXPECT_EQ(calls.frames[0].mExporterInstanceID, id);
    EXPECT_EQ(calls.frames[0].mPublishedFrameIdentifier, frame);
    EXPECT_EQ(calls.frames[0].mFrameNumber, 12u);
    EXPECT_EQ(calls.frames[0].mExporterResultCode, -1);
    ASSERT_EQ(calls.audio.size(), 1u);
    EXPECT_EQ(calls.audio[0].mPublishedAudioDataIdentifier, audio);
    EXPECT_EQ(calls.audio[0].mStartingAudioSample, 480);
    EXPECT_EQ(calls.audio[0].mNumAudioSamples, 960);
    EXPECT_EQ(calls.audio[0].mExporterResultCode, -1);
    ASSERT_EQ(calls.completions.size(), 1u);
    EXPECT_EQ(calls.completions[0].mExporterInstanceID, id);
    EXPECT_EQ(calls.completions[0].mServerResultCode, -1);
    ASSERT_EQ(calls.pulses.size(), 1u);
    EXPECT_EQ(calls.pulses[0], (std::pair<std::int32_t, std::uint32_t>(-1, 0)));
}

TEST_F(LibraryTest, ThrowingExportCallbacksRunOnce) {
    // Every frame answer names frame A, so a callback left in the table after it threw would run
    // again for the second frame's answer.
    UseScript(ConnectingScript(R"("CompressAndWriteFrame": {"result": )" +
                               FrameRecord(kFrameA, 1, 0) + R"(},
        "CompressAndWriteAudio": {"result": {"value": {
            "inAudioDataReceived.mPublishedAudioDataIdentifier": ")" +
                               std::string(kFrameB) + R"("}}},
        "ExportCompleted": {"result": {"value": {
            "inExportCompletedData.mExporterInstanceID": ")" +
                               std::string(kExporter) + R"("}}},
        "ExportServerProgressPulse": {"result": {}})"));
    ClientRef client = VireoClient::Create();
    Calls thrower, other;
    Guid const id(kExporter);
    client->CompressAndWriteFrame(id, Guid(kFrameA), 1, 0, false, thrower.Frame(true));
    client->CompressAndWriteFrame(id, Guid::CreateUnique(), 2, 0, false, other.Frame());
    client->CompressAndWriteAudio(id, Guid(kFrameB), 0, 10, thrower.Audio(true));
    client->CompressAndWriteAudio(id, Guid::CreateUnique(), 10, 10, other.Audio());
    client->ExportCompleted(id, 0, thrower.Completion(true));
    client->ExportCompleted(Guid::CreateUnique(), 0, other.Completion());
    client->ExportServerProgressPulse(id, thrower.Pulse(true));
    Flush(client);
    std::lock_guard<std::mutex> lock(thrower.mutex);
    ASSERT_EQ(thrower.frames.size(), 1u);
    ASSERT_EQ(thrower.audio.size(), 1u);
    EXPECT_EQ(thrower.audio[0].mExporterResultCode, 0);  // the key was absent
    ASSERT_EQ(thrower.completions.size(), 1u);
    EXPECT_EQ(thrower.completions[0].mServerResultCode, 0);
    ASSERT_EQ(thrower.pulses.size(), 1u);
    EXPECT_EQ(thrower.pulses[0], (std::pair<std::int32_t, std::uint32_t>(0, 0)));  // no "value"
    EXPECT_EQ(other.Frames(), 0u);
}

TEST_F(LibraryTest, WithoutAServerSubmissionsAndCompletionsAnswerMinusOne) {
    UseEmptyApplicationDirectory();
    ClientRef client = VireoClient::Create();
    Calls calls;
    Guid const id = Guid::CreateUnique();
    EXPECT_EQ(client->StartExport(id, VireoServer::StartExportData()), 3);
    client->CompressAndWriteFrame(id, Guid::CreateUnique(), 4, 0, false, calls.Frame(true));
    client->CompressAndWriteAudio(id, Guid::CreateUnique(), 0, 5, calls.Audio());
    client->ExportCompleted(id, 0, calls.Completion());
    client->ExportServerProgressPulse(id, calls.Pulse());
    EXPECT_NO_THROW(client->ExportServerShouldCancel(id));
    // On the calling thread, before each call returned.
    ASSERT_EQ(calls.frames.size(), 1u);
    EXPECT_EQ(calls.frames[0].mFrameNumber, 4u);
    EXPECT_EQ(calls.frames[0].mExporterResultCode, -1);
    ASSERT_EQ(calls.audio.size(), 1u);
    EXPECT_EQ(calls.audio[0].mNumAudioSamples, 5);
    EXPECT_EQ(calls.audio[0].mExporterResultCode, -1);
    ASSERT_EQ(calls.completions.size(), 1u);
    EXPECT_EQ(calls.completions[0].mServerResultCode, -1);
    EXPECT_EQ(calls.pulses.size(), 0u);
}

std::string VideoCodec(char const* fourcc, char const* name, bool withArrays = true) {
    std::string arrays = withArrays ? R"(, "inCodecData.videoDepthsArray": [24],
        "inCodecData.fixedPARs": [{"numerator": 4, "denominator": 3}],
        "inCodecData.fixedFrameRates": [{"ticksperframe": 1001}])"
                                    : "";
    return std::string(R"({"inCodecData.subType": )") + std::to_string(FourCC(fourcc)) +
           R"(, "inCodecData.name": ")" + name + "\"" + arrays + "}";
}

TEST_F(LibraryTest, CataloguesAreReadFieldByField) {
    UseScript(ConnectingScript(
        R"("GetQuicktimeCodecName": {"result": {}})",
        "[" + VideoCodec("rpza", "Video") + "," + VideoCodec("avc1", "H.264") + "]",
        R"([{"inAudioCodecData.codecID": 1836069985, "inAudioCodecData.codecName": "AAC",
             "inAudioCodecData.supportedSampleRateMin": 8000,
             "inAudioCodecData.supportedSampleRateMax": 96000.0},
            {"inAudioCodecData.codecID": 1635148593, "inAudioCodecData.codecName": "Audio wins",
             "inAudioCodecData.audioChannelsArray": [1, 2]}])"));
    ClientRef client = VireoClient::Create();
    std::vector<VireoServer::CodecData> video;
    std::vector<VireoServer::AudioCodecData> audio;
    client->GetExportVideoCodecs(video);
    client->GetExportAudioCodecs(audio);
    ASSERT_EQ(video.size(), 2u);  // the default application type keeps 'rpza'
    EXPECT_EQ(video[0].subType, FourCC("rpza"));
    EXPECT_EQ(video[1].fixedPARs, (std::vector<basemediatypes::PixelAspectRatio>{{4, 3}}));
    ASSERT_EQ(video[1].fixedFrameRates.size(), 1u);
    EXPECT_EQ(std::int64_t(video[1].fixedFrameRates[0]), 1001);
    ASSERT_EQ(audio.size(), 2u);
    EXPECT_TRUE(audio[0].audioChannelsArray.empty());
    EXPECT_EQ(audio[0].supportedSampleRateMin, 8000.0);
    EXPECT_EQ(audio[0].supportedSampleRateMax, 96000.0);
    EXPECT_EQ(audio[1].audioChannelsArray, (std::vector<std::int32_t>{1, 2}));

    // Names: an audio codec under a video codec's FourCC wins; unknown names are asked once.
    basekit::UTF16String name;
    client->GetQuicktimeCodecName(FourCC("avc1"), name);
    EXPECT_EQ(name, u"Audio wins");
    std::size_t const asked = LogCount("GetQuicktimeCodecName");
    name = u"";
    client->GetQuicktimeCodecName(0x51515151, name);
    client->GetQuicktimeCodecName(0x51515151, name);
    EXPECT_EQ(name, u"");
    EXPECT_EQ(LogCount("GetQuicktimeCodecName"), asked + 1);
}

TEST_F(LibraryTest, IngestApplicationsAreNotOfferedRpza) {
    UseScript(ConnectingScript("", "[" + VideoCodec("avc1", "A") + "," + VideoCodec("rpza", "R") +
                                       "," + VideoCodec("jpeg", "J") + "]"));
    Apphost::SetApplicationType(Apphost::ApplicationType::kIngest);
    ClientRef client = VireoClient::Create();
    Apphost::SetApplicationType(Apphost::ApplicationType::kEditor);
    std::vector<VireoServer::CodecData> video;
    client->GetExportVideoCodecs(video);
    ASSERT_EQ(video.size(), 2u);
    EXPECT_EQ(video[0].subType, FourCC("avc1"));
    EXPECT_EQ(video[1].subType, FourCC("jpeg"));
}

}  // namespace
}  // namespace vireo::test::library
