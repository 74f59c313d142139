// The library's side of the video outputs against the scripted server: answers the real server
// never gives (errors, missing values, wrong kinds, outcome 1), what the calls carry, and the
// exact text of the console command.
#include <set>

#include "LibraryFixture.h"
#include "VoutTestSupport.h"
#include "basekit/console/Command.h"

namespace vireo::test::vout {
namespace {

using vireo::test::library::ClientRef;
using vireo::test::library::ConnectingScript;
using VireoServer::QTVOutComponent;
using VireoServer::QTVOutOperationResult;
using VireoServer::QTVOutUseComponentData;

// One display mode as the server would send it; `refresh` and `pixelType` are JSON numbers.
std::string Mode(std::string const& name, int width, int height, std::string const& refresh,
                 int pixelType) {
    return R"({"inQTVOutDisplayModeInfo.mWidth": )" + std::to_string(width) +
           R"(, "inQTVOutDisplayModeInfo.mHeight": )" + std::to_string(height) +
           R"(, "inQTVOutDisplayModeInfo.mResolution_XFloat": 72.5,
              "inQTVOutDisplayModeInfo.mResolution_YFloat": 72,
              "inQTVOutDisplayModeInfo.mRefresh_Float": )" +
           refresh + R"(, "inQTVOutDisplayModeInfo.mRefresh_Fixed": 3932160,
              "inQTVOutDisplayModeInfo.mQTPixelType": )" +
           std::to_string(pixelType) + R"(, "inQTVOutDisplayModeInfo.mQTAtomIDForMode": 1,
              "inQTVOutDisplayModeInfo.mDisplayModeID": 4294967295,
              "inQTVOutDisplayModeInfo.mDisplayModeName": ")" +
           name + R"("})";
}

// Two components: the first with two modes, the second without the member of modes.
std::string const kTwoComponents = R"({"QTVOutComponents": [
    {"inQTVOutComponent.mVOutComponentName": "Display 0: Virtual \u00e9cran",
     "inQTVOutComponent.mQTComponentDescription": {
         "inQTCompDesc.mQTComponentDesc_componentType": 1987016052},
     "inQTVOutComponent.mDisplayModes": [)" +
                                   Mode("1920 x 1080 @ 60 Hz", 1920, 1080, "59.94", 32) + "," +
                                   Mode("odd", 640, 480, "60", -16) + R"(]},
    {"inQTVOutComponent.mVOutComponentName": "Capture"}]})";

QTVOutComponent Sentinel() {
    QTVOutComponent sentinel;
    sentinel.mVOutComponentName = "caller's";
    return sentinel;
}

class ScriptedBridgeTest : public vireo::test::library::LibraryTest {
  protected:
    std::vector<boost::json::object> Calls(std::string const& method) const {
        std::vector<boost::json::object> calls;
        for (auto const& line : mScript->ReadLog()) {
            auto it = line.find("method");
            if (it != line.end() && it->value().is_string() && it->value().as_string() == method) {
                calls.push_back(line);
            }
        }
        return calls;
    }
};

TEST_F(ScriptedBridgeTest, ComponentListsAreReadMemberByMember) {
    UseScript(ConnectingScript(R"("GetQTVOutComponents": [
        {"result": {"value": )" +
                               kTwoComponents + R"(}},
        {"result": {"value": {"other": 1}}},
        {"result": {"value": )" +
                               kTwoComponents + R"(}},
        {"result": {}},
        {"result": {"value": {"QTVOutComponents": [{"inQTVOutComponent.mDisplayModes": [
            {"inQTVOutDisplayModeInfo.mWidth": 640.0}]}]}}},
        {"error": {"code": -3, "message": "no"}}])"));
    ClientRef client = VireoClient::Create();
    std::vector<QTVOutComponent> components{Sentinel()};
    client->GetQTVOutComponents(components);
    ASSERT_EQ(components.size(), 2u) << "the old contents are dropped";
    EXPECT_EQ(components[0].mVOutComponentName,
              "Display 0: Virtual \xC3\xA9"
              "cran");
    ASSERT_EQ(components[0].mDisplayModes.size(), 2u);
    auto const& mode = components[0].mDisplayModes[0];
    EXPECT_FLOAT_EQ(mode.mResolution_YFloat, 72.0f) << "a float sent as an integer";
    EXPECT_EQ(mode.mDisplayModeID, -1) << "the low 32 bits of a wider integer";
    EXPECT_EQ(components[0].mDisplayModes[1].mQTPixelType, -16);
    EXPECT_TRUE(components[1].mDisplayModes.empty()) << "no member of modes: no modes";

    // A value without the list, and an answer without a value, empty the caller's list.
    client->GetQTVOutComponents(components);
    EXPECT_TRUE(components.empty());
    client->GetQTVOutComponents(components);
    EXPECT_EQ(components.size(), 2u);
    client->GetQTVOutComponents(components);
    EXPECT_TRUE(components.empty());

    // An integer sent as a real does not read; an error answer: the list stays as passed.
    for (char const* answer : {"integer as real", "error"}) {
        components = {Sentinel()};
        client->GetQTVOutComponents(components);
        ASSERT_EQ(components.size(), 1u) << answer;
        EXPECT_EQ(components[0].mVOutComponentName, "caller's") << answer;
    }

    // Without the engine the list is not asked for.
    std::size_t const asked = Calls("GetQTVOutComponents").size();
    basekit::debug::DebugDatabase::Instance().SetEntry("QT.DisableVireo", "true");
    client->GetQTVOutComponents(components);
    EXPECT_EQ(components.size(), 1u);
    Flush(client);
    EXPECT_EQ(Calls("GetQTVOutComponents").size(), asked);
}

TEST_F(ScriptedBridgeTest, TakingAComponentCopiesBackOnlyAUsableAnswer) {
    UseScript(ConnectingScript(R"("QTVOutBeginUsingComponent": [
        {"result": {"value": {
            "inUseComponentData.mQTAtomIDForDisplayMode": 3,
            "inUseComponentData.mApplicationName": "Mine",
            "inUseComponentData.mVOutOperationResult": {
                "inOperationResult.mOperationResult": 2,
                "inOperationResult.mApplicationUsingComponentName": "Other \u00c4pp",
                "inOperationResult.mQTResultCode": -7}}}},
        {"error": {"code": -3, "message": "no"}},
        {"result": {"value": {"inUseComponentData.mVOutOperationResult": {
            "inOperationResult.mOperationResult": 1}}}},
        {"result": {}}])"));
    ClientRef client = VireoClient::Create();
    QTVOutUseComponentData data;
    data.mQTComponentDescription.mQTComponentDesc_componentType = 0xFFFFFFFFu;
    data.mQTAtomIDForDisplayMode = 9;
    data.mDisplayModeID = -5;
    data.mApplicationName = u"Mine";
    data.mVOutOperationResult.mOperationResult = 77;
    QTVOutUseComponentData const asPassed = data;
    client->QTVOutBeginUsingComponent(data);
    EXPECT_EQ(data.mVOutOperationResult.mOperationResult, 2);
    EXPECT_EQ(data.mVOutOperationResult.mApplicationUsingComponentName, u"Other \u00c4pp");
    EXPECT_EQ(data.mVOutOperationResult.mQTResultCode, -7);
    EXPECT_EQ(data.mQTAtomIDForDisplayMode, 3);
    EXPECT_EQ(data.mQTComponentDescription.mQTComponentDesc_componentType, 0u);

    // What was sent: the caller's record with outcome 1, integers widened by their kind.
    auto const calls = Calls("QTVOutBeginUsingComponent");
    ASSERT_EQ(calls.size(), 1u);
    auto const& sent = calls[0].at("params").as_array().at(0).as_object();
    EXPECT_EQ(sent.at("inUseComponentData.mQTComponentDescription")
                  .as_object()
                  .at("inQTCompDesc.mQTComponentDesc_componentType")
                  .to_number<std::uint64_t>(),
              0xFFFFFFFFull);
    EXPECT_EQ(sent.at("inUseComponentData.mDisplayModeID").to_number<std::int64_t>(), -5);
    EXPECT_EQ(sent.at("inUseComponentData.mVOutOperationResult")
                  .as_object()
                  .at("inOperationResult.mOperationResult")
                  .to_number<std::int64_t>(),
              1);

    // An error answer and an answer carrying outcome 1 change nothing.
    for (char const* answer : {"error", "outcome 1"}) {
        data = asPassed;
        client->QTVOutBeginUsingComponent(data);
        EXPECT_EQ(data.mVOutOperationResult.mOperationResult, 77) << answer;
        EXPECT_EQ(data.mQTAtomIDForDisplayMode, 9) << answer;
    }
    // An answer without a value wipes the record to zeros with outcome 0.
    client->QTVOutBeginUsingComponent(data);
    EXPECT_EQ(data.mVOutOperationResult.mOperationResult, 0);
    EXPECT_EQ(data.mDisplayModeID, 0);
    EXPECT_TRUE(data.mApplicationName.empty());

    // Without the engine: outcome 4, nothing else changes, nothing is sent.
    basekit::debug::DebugDatabase::Instance().SetEntry("QT.DisableVireo", "true");
    data = asPassed;
    client->QTVOutBeginUsingComponent(data);
    EXPECT_EQ(data.mVOutOperationResult.mOperationResult, 4);
    EXPECT_EQ(data.mQTAtomIDForDisplayMode, 9);
    Flush(client);
    EXPECT_EQ(Calls("QTVOutBeginUsingComponent").size(), 4u);
}

TEST_F(ScriptedBridgeTest, ModeAndEndRequestsDeliverTheirDefaultAfterAnError) {
    UseScript(ConnectingScript(R"(
        "QTVOutGetActiveDisplayModeData": [
            {"error": {"code": -3, "message": "no"}},
            {"result": {"value": {"inDisplayMode.mDisplayModeInfo": {
                "inQTVOutDisplayModeInfo.mRefresh_Float": 60,
                "inQTVOutDisplayModeInfo.mDisplayModeName": "m"}}}}],
        "QTVOutEndUsingComponent": {"error": {"code": -3, "message": "no"}})"));
    ClientRef client = VireoClient::Create();
    // The engine's availability does not matter to these.
    basekit::debug::DebugDatabase::Instance().SetEntry("QT.DisableVireo", "true");
    VireoServer::QTVGetActiveDisplayModeData data;
    data.mDisplayModeInfo.mWidth = 5;
    data.mOperationResult.mApplicationUsingComponentName = u"old";
    client->QTVOutGetActiveDisplayModeData(data);
    EXPECT_EQ(data.mDisplayModeInfo.mWidth, 0);
    EXPECT_EQ(data.mOperationResult.mOperationResult, 1);
    EXPECT_TRUE(data.mOperationResult.mApplicationUsingComponentName.empty());
    client->QTVOutGetActiveDisplayModeData(data);
    EXPECT_FLOAT_EQ(data.mDisplayModeInfo.mRefresh_Float, 60.0f);
    EXPECT_EQ(data.mDisplayModeInfo.mDisplayModeName, "m");
    EXPECT_EQ(data.mOperationResult.mOperationResult, 0) << "absent outcome reads as 0";

    QTVOutOperationResult result{5, u"old", 9};
    client->QTVOutEndUsingComponent(result);
    EXPECT_EQ(result.mOperationResult, 1);
    EXPECT_TRUE(result.mApplicationUsingComponentName.empty());
    EXPECT_EQ(result.mQTResultCode, 0);
}

TEST_F(ScriptedBridgeTest, BlitsPublishEachFrameUnderAFreshIdentifier) {
    // The scripted server reads nothing: it logs the identifier and answers.
    UseScript(ConnectingScript(R"(
        "QTVOutBeginBlitting": {"result": {"value": {"inOperationResult.mOperationResult": 0}}},
        "QTVOutBlitFrame": [{"result": {"value": {"inOperationResult.mOperationResult": 0}}},
                            {"error": {"code": -3, "message": "no"}}])"));
    ClientRef client = VireoClient::Create();
    // An empty frame: outcome 1, the rest untouched, nothing sent.
    QTVOutOperationResult result{5, u"keep", 9};
    client->QTVOutBlitFrame(InterfaceRef<Kino::IVideoFrame>(), result);
    EXPECT_EQ(result.mOperationResult, 1);
    EXPECT_EQ(result.mApplicationUsingComponentName, u"keep");
    EXPECT_EQ(result.mQTResultCode, 9);

    InterfaceRef<Kino::IVideoFrame> const frame =
        MakePatternFrame(32, 16, Kino::kPixelFormat_BGRA, 0, 4);
    client->QTVOutBeginBlitting(frame, result);
    EXPECT_EQ(result.mOperationResult, 0);
    client->QTVOutBlitFrame(frame, result);
    EXPECT_EQ(result.mOperationResult, 0);
    // After an error answer: exactly 1, empty, 0.
    result = {5, u"keep", 9};
    client->QTVOutBlitFrame(frame, result);
    EXPECT_EQ(result.mOperationResult, 1);
    EXPECT_TRUE(result.mApplicationUsingComponentName.empty());
    EXPECT_EQ(result.mQTResultCode, 0);

    std::vector<std::string> ids;
    for (char const* method : {"QTVOutBeginBlitting", "QTVOutBlitFrame"}) {
        for (auto const& call : Calls(method)) {
            auto const& params = call.at("params").as_array();
            ASSERT_EQ(params.size(), 1u);
            ids.emplace_back(params.at(0).as_string());
        }
    }
    ASSERT_EQ(ids.size(), 3u) << "the empty frame was not sent";
    for (std::string const& id : ids) {
        EXPECT_FALSE(basekit::utility::Guid(id.c_str()).IsNull()) << id;
    }
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 3u);
}

basekit::UTF16String RunReport() {
    basekit::UTF16String output;
    EXPECT_EQ(basekit::console::CommandRegistry::RunCommand(u"QT.VOutGetAllComponents", {}, output),
              basekit::console::kCommandSucceeded);
    return output;
}

TEST_F(ScriptedBridgeTest, TheConsoleCommandPrintsTheListExactlyAndNothingWithoutAnAnswer) {
    UseScript(ConnectingScript(R"("GetQTVOutComponents": [{"result": {"value": )" + kTwoComponents +
                               R"(}}, {"error": {"code": -3, "message": "no"}}])"));
    basekit::console::CommandRegistry::UnregisterCommand(u"QT.VOutGetAllComponents");
    ClientRef client = VireoClient::Create();
    // Making the server manager registered the command again.
    ASSERT_TRUE(basekit::console::CommandRegistry::HasCommand(u"QT.VOutGetAllComponents"));
    std::u16string const hyphens(51, u'-');
    EXPECT_EQ(RunReport(),
              u"VireoClient->GetQTVOutComponents returned a container of 2 components\n"
              u"Component [0] - Display 0: Virtual \u00e9cran\n"
              u"Display Modes Total [2] - \n" +
                  hyphens +
                  u"\n"
                  u"Display Mode 1920 x 1080 @ 60 Hz - [ 0 ]\n"
                  u"Display Width - 1920\n"
                  u"Display Height - 1080\n"
                  u"Display Resolution X (float) - 72.5\n"
                  u"Display Resolution Y (float) - 72\n"
                  u"Display Refresh (float) - 59.94\n"
                  u"Display PixelType (QT) - 32\n" +
                  hyphens +
                  u"\n"
                  u"Display Mode odd - [ 1 ]\n"
                  u"Display Width - 640\n"
                  u"Display Height - 480\n"
                  u"Display Resolution X (float) - 72.5\n"
                  u"Display Resolution Y (float) - 72\n"
                  u"Display Refresh (float) - 60\n"
                  u"Display PixelType (QT) - -16\n"
                  u"Component [1] - Capture\n"
                  u"Display Modes Total [0] - \n"
                  u"\n");
    EXPECT_EQ(RunReport(),
              u"VireoClient->GetQTVOutComponents returned a container of 0 components\n\n");
}

}  // namespace
}  // namespace vireo::test::vout
