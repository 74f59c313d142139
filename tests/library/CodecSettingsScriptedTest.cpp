// Codec settings through the library against answers the real server would not give: missing
// values and keys, error answers, dropped sessions, and the dialog flag's lifetime as it shows
// in what BringVideoCodecDialogToForeground sends.
#include <algorithm>
#include <future>
#include <mutex>
#include <stdexcept>

#include "LibraryFixture.h"

namespace vireo::test::library {
namespace {

using VireoServer::VireoConvertCodecSettingsData;
using VireoServer::VireoVideoCodecDialogData;

constexpr char kRaise[] = "BringVideoCodecDialogToForeground";

// The answers of dialog requests, each request's callback counted.
struct DialogAnswers {
    std::mutex mutex;
    std::vector<VireoVideoCodecDialogData> answers;
    std::promise<void> first;

    VireoClient::CodecDialogCallback Callback() {
        return [this](VireoVideoCodecDialogData const& data) {
            std::lock_guard<std::mutex> lock(mutex);
            answers.push_back(data);
            if (answers.size() == 1) {
                first.set_value();
            }
        };
    }
    bool WaitFirst() {
        return first.get_future().wait_for(vireo::test::Scaled(10000ms)) ==
               std::future_status::ready;
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return answers.size();
    }
};

VireoVideoCodecDialogData Request(std::int32_t fourcc, std::string const& data) {
    VireoVideoCodecDialogData request;
    request.mVideoCodecFourCC = fourcc;
    request.mVideoCodecPrivateData =
        Kino::BinaryData(std::vector<std::uint8_t>(data.begin(), data.end()));
    return request;
}

VireoConvertCodecSettingsData Filled() {
    VireoConvertCodecSettingsData data;
    data.mInIsVideoCodec = false;
    data.mInCodecFourCC = 0x61766331;
    data.mInQTAtomContainer = Kino::BinaryData{1, 2, 3};
    data.mOutCodecSettings = Kino::BinaryData{4, 5};
    data.mOutConvertSettingsResultCode = -7;
    return data;
}

void ExpectDefaultConversion(VireoConvertCodecSettingsData const& data) {
    EXPECT_TRUE(data.mInIsVideoCodec);
    EXPECT_EQ(data.mInCodecFourCC, 0);
    EXPECT_TRUE(data.mInQTAtomContainer.empty());
    EXPECT_TRUE(data.mOutCodecSettings.empty());
    EXPECT_EQ(data.mOutConvertSettingsResultCode, 2);
}

TEST_F(LibraryTest, DialogAnswersWithoutValueOrWithoutTheCancelledKeyOrWithoutASession) {
    // "AQI=" is the base64 of the bytes 1, 2.
    UseScript(ConnectingScript(R"("DisplayVideoCodecPrefsDialog": [
        {"result": {}},
        {"result": {"value": {"inVideoCodecDialogData.mVideoCodecFourCC": -5,
                              "inVideoCodecDialogData.mVideoCodecPrivateData": "AQI="}}},
        {"result": {"value": "not a record"}},
        {"error": {"code": -3, "message": "refused"}},
        {"drop": true}])"));
    ClientRef client = VireoClient::Create();
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        DialogAnswers answers;
        client->DisplayVideoCodecPrefsDialog(Request(0x61766331, "start"), answers.Callback());
        ASSERT_TRUE(answers.WaitFirst());
        if (i < 4) {
            Flush(client);
        } else {
            ImporterRef none;
            ASSERT_TRUE(WaitForEveryHandler(client, none));
        }
        ASSERT_EQ(answers.Count(), 1u);
        VireoVideoCodecDialogData const& answer = answers.answers.front();
        if (i == 1) {
            // An answer object without the cancelled key was accepted.
            EXPECT_EQ(answer.mVideoCodecFourCC, -5);
            EXPECT_FALSE(answer.mWasCancelled);
            EXPECT_EQ(answer.mVideoCodecPrivateData, (Kino::BinaryData{1, 2}));
        } else {
            // No value, a value of the wrong kind, an error, a dropped session: the default
            // record, cancelled.
            EXPECT_EQ(answer.mVideoCodecFourCC, 0);
            EXPECT_TRUE(answer.mWasCancelled);
            EXPECT_TRUE(answer.mVideoCodecPrivateData.empty());
        }
    }
    // The request carried the record under its keys.
    auto const sent = Logged("DisplayVideoCodecPrefsDialog").at(0);
    auto const& record = sent.at("params").as_array().at(0).as_object();
    EXPECT_EQ(record.at("inVideoCodecDialogData.mVideoCodecFourCC").to_number<std::int64_t>(),
              0x61766331);
    EXPECT_EQ(record.at("inVideoCodecDialogData.mWasCancelled"), true);
    EXPECT_EQ(record.at("inVideoCodecDialogData.mVideoCodecPrivateData"), "c3RhcnQ=");
}

TEST_F(LibraryTest, DialogFlagStaysSetUntilTheCallbackReturnedEvenWhenItThrows) {
    UseScript(ConnectingScript(R"("DisplayVideoCodecPrefsDialog": {"result": {"value": {}}}, ")" +
                               std::string(kRaise) + R"(": {})"));
    ClientRef client = VireoClient::Create();
    // No dialog: nothing is sent.
    client->BringVideoCodecDialogToForeground();
    Flush(client);
    EXPECT_EQ(LogCount(kRaise), 0u);

    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> calls{0};
    client->DisplayVideoCodecPrefsDialog(
        Request(0x61766331, ""), [&, released](VireoVideoCodecDialogData const&) {
            if (++calls == 1) {
                entered.set_value();
            }
            released.wait();
            throw std::runtime_error("a host's callback that throws");
        });
    ASSERT_EQ(entered.get_future().wait_for(vireo::test::Scaled(10000ms)),
              std::future_status::ready);
    // While the callback runs, the dialog still counts as showing.
    client->BringVideoCodecDialogToForeground();
    EXPECT_TRUE(WaitForLogCount(kRaise, 1));
    release.set_value();
    // Once the callback has returned (its exception reported and stopped) the flag goes down:
    // a raise then sends nothing. The callback finishes on the client's thread, so this waits
    // for the first raise that is not sent; a flag that stays up fails at the time limit.
    EXPECT_TRUE(vireo::test::WaitUntil(
        [&] {
            std::size_t const before = LogCount(kRaise);
            client->BringVideoCodecDialogToForeground();
            Flush(client);
            return LogCount(kRaise) == before;
        },
        vireo::test::Scaled(5000ms)));
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(LibraryTest, ConversionAnswersThatAreMissingOrFailedGiveTheDefaultRecord) {
    UseScript(ConnectingScript(R"("ConvertQTAtomContainerSettingsToCodecSettings": [
        {"result": {}},
        {"error": {"code": -1, "message": "no"}},
        {"result": {"value": {"inConvertSettings.mInCodecFourCC": 5,
                              "inConvertSettings.mOutCodecSettings": "not base64!"}}},
        {"result": {"value": {"inConvertSettings.mInCodecFourCC": 1634148969,
                              "inConvertSettings.mOutCodecSettings": "AQI="}}}])"));
    ClientRef client = VireoClient::Create();
    for (int i = 0; i < 3; ++i) {
        VireoConvertCodecSettingsData data = Filled();
        client->ConvertQTAtomContainerSettingsToCodecSettings(data);
        SCOPED_TRACE(i);
        ExpectDefaultConversion(data);
    }
    // An answer without the result code and the video flag: 0 and false, not the defaults.
    VireoConvertCodecSettingsData data = Filled();
    client->ConvertQTAtomContainerSettingsToCodecSettings(data);
    EXPECT_EQ(data.mOutConvertSettingsResultCode, 0);
    EXPECT_FALSE(data.mInIsVideoCodec);
    EXPECT_EQ(data.mInCodecFourCC, 1634148969);
    EXPECT_TRUE(data.mInQTAtomContainer.empty());
    EXPECT_EQ(data.mOutCodecSettings, (Kino::BinaryData{1, 2}));

    // All five keys went out, the out fields as the caller set them.
    auto const sent = Logged("ConvertQTAtomContainerSettingsToCodecSettings").at(0);
    auto const& record = sent.at("params").as_array().at(0).as_object();
    EXPECT_EQ(record.size(), 5u);
    EXPECT_EQ(record.at("inConvertSettings.mInIsVideoCodec"), false);
    EXPECT_EQ(record.at("inConvertSettings.mInCodecFourCC").to_number<std::int64_t>(), 0x61766331);
    EXPECT_EQ(record.at("inConvertSettings.mInQTAtomContainer"), "AQID");
    EXPECT_EQ(record.at("inConvertSettings.mOutCodecSettings"), "BAU=");
    EXPECT_EQ(
        record.at("inConvertSettings.mOutConvertSettingsResultCode").to_number<std::int64_t>(), -7);
}

}  // namespace
}  // namespace vireo::test::library
