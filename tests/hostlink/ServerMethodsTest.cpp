// What the real server answers while a client connects, and how the scripted server follows
// its script.
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "TestHelpers.h"
#include "TestSupport.h"
#include "VariantJson.h"
#include "basekit/serialization/JSONConvert.h"
#include "basemarshal/RPCServer.h"

using namespace hostlinktest;
using namespace std::chrono_literals;
using basekit::serialization::MakeVariant;
using basekit::serialization::ReadValue;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantObject;
using vireotest::AppDirectory;
using vireotest::ScriptFile;
using vireotest::ServerKind;
using vireotest::TempRegistry;

namespace {

// A started server with one session and an RPC client on it.
struct Connected {
    explicit Connected(ServerKind kind) : app(kind) {
        outcome = Connect(kSharedName, app.ExecutablePath());
        if (outcome.connection.port != 0) {
            session = OpenSession(outcome.connection);
        }
        if (session) {
            client.reset(new basemarshal::RPCClient(session, u"test"));
        }
    }
    TempRegistry registry;
    AppDirectory app;
    Outcome outcome;
    basetransport::SessionPtr session;
    std::unique_ptr<basemarshal::RPCClient> client;
};

boost::json::value ResultJson(Answer const& answer) {
    return vireotest::VariantToJson(answer.result);
}

}  // namespace

TEST(SpineMethods, ConnectionStepQuestionsAreAnswered) {
    Connected server(ServerKind::Real);
    ASSERT_TRUE(server.client);
    auto& client = *server.client;

    Answer present = Call(client, "IsQuicktimePresent");
    ASSERT_TRUE(present.ok);
    EXPECT_TRUE(ReadValue<bool>(basekit::serialization::AsObject(*present.result), "value"));

    Answer pid = Call(client, "GetQTServerProcessID");
    ASSERT_TRUE(pid.ok);
    EXPECT_EQ(static_cast<std::uint32_t>(server.outcome.connection.processID),
              ReadValue<std::uint32_t>(basekit::serialization::AsObject(*pid.result), "value"));

    for (char const* method : {"GetQuicktimeImportCodecs", "GetQuicktimeExportVideoCodecs",
                               "GetQuicktimeExportAudioCodecs", "QTGetImportableFileExtensions"}) {
        Answer answer = Call(client, method);
        ASSERT_TRUE(answer.ok) << method;
        EXPECT_EQ(boost::json::parse(R"({"value": []})"), ResultJson(answer)) << method;
    }

    // The flush interval is a notification; a malformed one as a request is refused, and the
    // session goes on either way.
    client.SendNotification(basekit::serialization::BuildCall(
        "SetQTFlushIterval", VariantArray{MakeVariant(std::int64_t(-5))}));
    Answer bad = Call(client, "SetQTFlushIterval", VariantArray{MakeVariant(std::string("x"))});
    EXPECT_TRUE(bad.answered && !bad.ok);
    EXPECT_EQ(basemarshal::kErrorInvalidParams, bad.code);
    Answer unknown = Call(client, "NoSuchMethod");
    EXPECT_EQ(basemarshal::kErrorMethodNotFound, unknown.code);
    EXPECT_TRUE(Call(client, "IsQuicktimePresent").ok);
}

TEST(ScriptedServer, FollowsItsScriptAndLogsWhatArrives) {
    ScriptFile script(R"({
        "methods": {
            "Sequence": [{"result": {"value": 1}}, {"error": {"code": 7, "message": "no"}},
                         {"delayMs": 50, "result": {"value": "last"}}],
            "Empty": {},
            "Note": {}
        }
    })");
    Connected server(ServerKind::Scripted);
    ASSERT_TRUE(server.client);
    auto& client = *server.client;

    Answer one = Call(client, "Sequence", VariantArray{MakeVariant(std::int64_t(3))});
    ASSERT_TRUE(one.ok);
    EXPECT_EQ(boost::json::parse(R"({"value": 1})"), ResultJson(one));
    Answer two = Call(client, "Sequence");
    EXPECT_TRUE(two.answered && !two.ok);
    EXPECT_EQ(7, two.code);
    for (int i = 0; i < 2; ++i) {  // the last behaviour repeats
        Answer last = Call(client, "Sequence");
        ASSERT_TRUE(last.ok);
        EXPECT_EQ(boost::json::parse(R"({"value": "last"})"), ResultJson(last));
    }
    Answer empty = Call(client, "Empty");
    ASSERT_TRUE(empty.ok);
    EXPECT_EQ(boost::json::parse("{}"), ResultJson(empty));
    EXPECT_EQ(basemarshal::kErrorMethodNotFound, Call(client, "Unscripted").code);

    client.SendNotification(
        basekit::serialization::BuildCall("Note", VariantArray{MakeVariant(std::string("hello"))}));
    EXPECT_TRUE(script.WaitForLog(
        [](boost::json::object const& line) {
            return line.contains("method") && line.at("method") == "Note" &&
                   line.at("notification") == true &&
                   line.at("params") == boost::json::parse(R"(["hello"])");
        },
        10s));
    auto const log = script.ReadLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ("session-start", log.front().at("event"));
    EXPECT_EQ(boost::json::parse("[3]"), log[1].at("params"));
}

TEST(ScriptedServer, StallDropAndExitEndTheWaitThroughTheSession) {
    ScriptFile script(R"({
        "methods": {
            "Stall": {"stall": true},
            "Drop": {"drop": true},
            "Exit": {"exit": 3},
            "Ping": {"result": {"value": true}}
        }
    })");
    Connected server(ServerKind::Scripted);
    ASSERT_TRUE(server.client);

    // A stalled request stays unanswered while other requests are answered ...
    EXPECT_FALSE(Call(*server.client, "Stall", {}, 300ms).answered);
    EXPECT_TRUE(Call(*server.client, "Ping").ok);
    // ... until the server drops the session: then everything in flight fails.
    Answer dropped = Call(*server.client, "Drop");
    EXPECT_TRUE(dropped.answered && !dropped.ok);
    EXPECT_TRUE(vireotest::WaitUntil([&] { return server.session->IsClosed(); }, 10s));

    // The server is still there for a new session; "exit" ends the process abruptly and its
    // entry stays behind, as after a crash.
    auto session = OpenSession(server.outcome.connection);
    ASSERT_TRUE(session);
    basemarshal::RPCClient client(session, u"test");
    Answer exited = Call(client, "Exit");
    EXPECT_TRUE(exited.answered && !exited.ok);
    EXPECT_EQ(basemarshal::kErrorSessionClosed, exited.code);
    EXPECT_TRUE(vireotest::WaitForProcessExit(
        static_cast<pid_t>(server.outcome.connection.processID), 10s));
    EXPECT_EQ(1, server.registry.CountEntries());
}

TEST(ScriptedServer, MalformedScriptsAreRejectedWhenWritten) {
    for (char const* bad :
         {R"([])", R"({"methods": {"M": {"reslt": {}}}})", R"({"methods": {"M": []}})",
          R"({"methods": {"M": {"result": {}, "error": {"code": 1}}}})",
          R"({"methods": {"M": {"error": {"message": "no code"}}}})",
          R"({"methods": {"M": {"delayMs": -1}}})", R"({"announceDelay": 5})"}) {
        EXPECT_THROW(ScriptFile script(bad), std::invalid_argument) << bad;
    }
}
