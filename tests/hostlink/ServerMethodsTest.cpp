// What the real server answers while a client connects.
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "TestHelpers.h"
#include "TestSupport.h"
#include "VariantJson.h"
#include "basekit/serialization/JSONConvert.h"
#include "basemarshal/RPCServer.h"

namespace vireo::test::hostlink {

using namespace std::chrono_literals;
using basekit::serialization::MakeVariant;
using basekit::serialization::ReadValue;
using basekit::serialization::VariantArray;
using support::AppDirectory;
using support::ServerKind;
using support::TempRegistry;

TEST(SpineMethods, ConnectionStepQuestionsAreAnswered) {
    TempRegistry registry;
    AppDirectory app(ServerKind::Real);
    Outcome server = Connect(kSharedName, app.ExecutablePath());
    ASSERT_NE(0, server.connection.port);
    auto session = OpenSession(server.connection);
    ASSERT_TRUE(session);
    basemarshal::RPCClient client(session, u"test");

    Answer pid = Call(client, "GetQTServerProcessID");
    ASSERT_TRUE(pid.ok);
    EXPECT_EQ(static_cast<std::uint32_t>(server.connection.processID),
              ReadValue<std::uint32_t>(basekit::serialization::AsObject(*pid.result), "value"));

    Answer codecs = Call(client, "GetQuicktimeImportCodecs");
    ASSERT_TRUE(codecs.ok);
    // The FourCCs of the codecs the engine decodes.
    auto const listed = support::VariantToJson(codecs.result).at("value").as_array();
    EXPECT_FALSE(listed.empty());
    for (auto const& code : listed) {
        EXPECT_TRUE(code.is_int64() || code.is_uint64());
    }

    // The flush interval is a notification; a malformed one as a request is refused, and the
    // session goes on either way.
    client.SendNotification(basekit::serialization::BuildCall(
        "SetQTFlushIterval", VariantArray{MakeVariant(std::int64_t(-5))}));
    Answer bad = Call(client, "SetQTFlushIterval", VariantArray{MakeVariant(std::string("x"))});
    EXPECT_TRUE(bad.answered && !bad.ok);
    EXPECT_EQ(basemarshal::kErrorInvalidParams, bad.code);
    EXPECT_TRUE(Call(client, "IsQuicktimePresent").ok);
}

}  // namespace vireo::test::hostlink
