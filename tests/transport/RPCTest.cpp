// RPC over real sockets: what survives the wire, how the server answers, and the rules the
// client keeps for its handlers.
#include <cmath>
#include <limits>
#include <set>
#include <stdexcept>

#include "TestSupport.h"
#include "basemarshal/JSONVariant.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

namespace vireo::test::transport {
namespace {

namespace json = boost::json;
using namespace basekit::serialization;
using basekit::UTF8String;
using basemarshal::Responder;
using basetransport::SessionPtr;

// A tree's exact text: doubles print in their shortest round-trip form, so equal texts mean
// equal bits, and small unsigned values print as the signed ones they come back as.
std::string Text(boost::any const& tree) {
    return json::serialize(basemarshal::ToJSON(tree));
}

VariantObject EveryKind() {
    VariantObject tree;
    tree["int64 min"] = MakeVariant(std::numeric_limits<std::int64_t>::min());
    tree["int64 max"] = MakeVariant(std::numeric_limits<std::int64_t>::max());
    tree["uint64 max"] = MakeVariant(std::numeric_limits<std::uint64_t>::max());
    tree["uint64 2^63"] = MakeVariant(std::uint64_t{1} << 63);
    tree["uint64 small"] = MakeVariant(std::uint64_t{4294967295u});
    // Edge values only; trees read from any JSON text round-trip in the json fuzz target.
    VariantArray reals;
    for (double d : {-0.0, 1.0 / 3.0, 5e-324, 1.7976931348623157e308}) {
        reals.push_back(MakeVariant(d));
    }
    tree["reals"] = MakeVariant(reals);
    tree["false"] = MakeVariant(false);
    tree["text"] = MakeVariant(UTF8String("\xC3\xBC \"quoted\" back\\slash\nline\ttab\x01"));
    tree["bytes"] = MakeVariant(UTF8String("\xFF\xFE not UTF-8 \0 inside", 22));
    tree["empty object"] = MakeVariant(VariantObject());
    tree["empty array"] = MakeVariant(VariantArray());
    tree["null"] = MakeVariant(boost::any());
    tree[""] = MakeVariant(UTF8String("empty key"));
    VariantObject inner;
    inner["deep"] = MakeVariant(VariantArray{MakeVariant(std::int64_t{1})});
    tree["nested"] = MakeVariant(VariantArray{MakeVariant(VariantArray{MakeVariant(inner)})});
    return tree;
}

TEST(TransportRPC, EveryKindSurvivesTheWire) {
    Loopback loop;
    basemarshal::RPCClient client(loop.Connect(), u"test");
    VariantArray params{MakeVariant(EveryKind())};
    auto outcome = Call(client, "Echo", params);
    ASSERT_EQ(outcome->results, 1);
    EXPECT_EQ(Text(params), Text(*GetVariantInObject(*outcome->result, "value")));
}

TEST(TransportRPC, ServerAnswersEveryWayARequestCanEnd) {
    Loopback loop;
    std::mutex mutex;
    std::vector<Responder> kept;
    loop.server.AddMethod("Throw", [](SessionPtr const&, VariantPtr const&, Responder const&) {
        throw std::runtime_error("boom");
    });
    loop.server.AddMethod("Drop", [](SessionPtr const&, VariantPtr const&, Responder const&) {});
    loop.server.AddMethod("Fail", [](SessionPtr const&, VariantPtr const&, Responder const& r) {
        r.Error(42, "\xC3\xA9 failed");
        r.Reply(MakeVariant(VariantObject()));  // too late: ignored
    });
    loop.server.AddMethod("Later", [&](SessionPtr const&, VariantPtr const&, Responder const& r) {
        std::lock_guard<std::mutex> lock(mutex);
        kept.push_back(r);
    });
    basemarshal::RPCClient client(loop.Connect(), u"test");

    EXPECT_EQ(Call(client, "NoSuchMethod", VariantArray())->code,
              basemarshal::kErrorMethodNotFound);
    auto thrown = Call(client, "Throw", VariantArray());
    EXPECT_EQ(thrown->code, basemarshal::kErrorInternal);
    EXPECT_EQ(thrown->message, u"boom");
    EXPECT_EQ(Call(client, "Drop", VariantArray())->code, basemarshal::kErrorInternal);
    auto failed = Call(client, "Fail", VariantArray());
    EXPECT_EQ(failed->code, 42);
    EXPECT_EQ(failed->message, u"\u00e9 failed");

    // Kept and answered later from another thread.
    auto later = std::make_shared<Outcome>();
    client.SendRequest(BuildCall("Later", VariantArray()), later->ResultHandler(),
                       later->ErrorHandler(), 0);
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return kept.size() == 1;
    }));
    // A round trip after it: had "Later" been answered, its answer would have come first.
    EXPECT_EQ(Call(client, "Echo", VariantArray())->results, 1);
    EXPECT_EQ(later->Handled(), 0);
    std::thread([&] {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_FALSE(kept[0].IsNotification());
        kept[0].Reply(MakeVariant(std::int64_t{5}));
        kept.clear();
    }).join();
    ASSERT_TRUE(later->Wait());
    EXPECT_EQ(boost::any_cast<std::int64_t>(*later->result), 5);
    loop.Stop();
    EXPECT_EQ(failed->Handled(), 1);
    EXPECT_EQ(later->Handled(), 1);
}

// Error answers echo what peers and handlers give them: a method name, an exception's text, a
// message naming a path. Whatever their bytes, a strict JSON reader takes every answer.
TEST(TransportRPC, ErrorTextsAreValidUTF8WhateverTheInput) {
    Loopback loop;
    loop.server.AddMethod("Throw", [](SessionPtr const&, VariantPtr const&, Responder const&) {
        throw std::runtime_error("cannot open \xff\xfe.mov");
    });
    loop.server.AddMethod("Refuse", [](SessionPtr const&, VariantPtr const&, Responder const& r) {
        r.Error(5, "bad \xc3\x28 path");
    });
    RawConnection raw(loop.port);
    ASSERT_NE(raw.Hello(loop.token, basetransport::kProtocolVersion).find("result"),
              std::string::npos);
    ASSERT_TRUE(
        raw.Send("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"no \xff such\"}\n"
                 "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"Throw\"}\n"
                 "{\"jsonrpc\":\"2.0\",\"id\":3,\"method\":\"Refuse\"}\n"));
    for (int i = 0; i < 3; ++i) {
        std::string const line = raw.ReadLine();
        json::error_code ec;
        json::value const answer = json::parse(line, ec);  // refuses ill-formed UTF-8
        ASSERT_FALSE(ec) << line;
        std::string_view const message = answer.at("error").at("message").as_string();
        EXPECT_NE(message.find("\xEF\xBF\xBD"), std::string_view::npos) << line;
    }
}

TEST(TransportRPC, InvalidRequestsAreAnsweredAndNotificationsNever) {
    Loopback loop;
    std::atomic<int> notified{0};
    loop.server.AddMethod("Notified",
                          [&](SessionPtr const&, VariantPtr const&, Responder const& r) {
                              EXPECT_TRUE(r.IsNotification());
                              r.Reply(MakeVariant(true));  // does nothing
                              notified.fetch_add(1);
                              throw std::runtime_error("not answered either");
                          });
    SessionPtr session = loop.Connect();
    std::mutex mutex;
    std::vector<json::object> answers;
    session->SetMessageHandler([&](SessionPtr const&, json::object& message) {
        std::lock_guard<std::mutex> lock(mutex);
        answers.push_back(message);
    });
    char const* const requests[] = {
        R"({"id":1,"method":"Echo"})",
        R"({"jsonrpc":"2.0","id":2,"method":5})",
        R"({"jsonrpc":"2.0","id":3,"method":"Echo","params":5})",
        R"({"jsonrpc":"2.0","id":{"x":1},"method":"Echo"})",
        R"({"jsonrpc":"2.0","method":"Missing","params":[]})",
        R"({"jsonrpc":"2.0","method":"Notified","params":[]})",
        R"({"jsonrpc":"2.0","id":"text id","method":"Echo"})",
    };
    for (char const* request : requests) {
        session->SendMessage(json::parse(request).as_object());
    }
    // Answered in order: once the last request's answer is here, every other answer is too.
    session->SendMessage(
        json::parse(R"({"jsonrpc":"2.0","id":"last","method":"Echo"})").as_object());
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return !answers.empty() && answers.back().at("id") == json::value("last");
    }));
    EXPECT_EQ(notified.load(), 1);
    std::lock_guard<std::mutex> lock(mutex);
    answers.pop_back();
    ASSERT_EQ(answers.size(), 5u);
    std::set<std::string> invalid;
    for (auto const& answer : answers) {
        if (answer.contains("error")) {
            EXPECT_EQ(answer.at("error").at("code").to_number<long>(),
                      basemarshal::kErrorInvalidRequest);
            invalid.insert(json::serialize(answer.at("id")));
        } else {
            EXPECT_EQ(answer.at("id"), json::value("text id"));
            EXPECT_EQ(answer.at("result").at("value"), json::array());  // absent params: []
        }
    }
    EXPECT_EQ(invalid, (std::set<std::string>{"1", "2", "3", "null"}));
}

TEST(TransportRPC, ClientHandlersRunOnceElsewhereAndNeverLeakExceptions) {
    Loopback loop;
    basemarshal::RPCClient client(loop.Connect(), u"test");

    // A result handler that throws becomes an error.
    auto unread = std::make_shared<Outcome>();
    client.SendRequest(
        BuildCall("Echo", VariantArray()),
        [](VariantPtr const& result, std::int64_t) {
            boost::any_cast<bool>(*GetVariantInObject(*result, "value"));  // an array: throws
        },
        unread->ErrorHandler(), 0);
    ASSERT_TRUE(unread->Wait());
    EXPECT_EQ(unread->code, basemarshal::kErrorMalformedAnswer);
    EXPECT_FALSE(unread->message.empty());  // the exception's text
    EXPECT_NE(unread->handlerThread, std::this_thread::get_id());

    // An error handler that throws is swallowed.
    auto after = std::make_shared<Outcome>();
    client.SendRequest(
        BuildCall("NoSuchMethod", VariantArray()), [](VariantPtr const&, std::int64_t) {},
        [after](long, std::u16string const&, std::int64_t) {
            after->ErrorHandler()(0, u"", 0);
            throw std::runtime_error("ignored");
        },
        0);
    ASSERT_TRUE(after->Wait());

    // Calls that cannot be encoded are refused without touching the session.
    for (boost::any const& unwritable :
         {boost::any(std::nan("")), boost::any(std::u16string(u"x"))}) {
        EXPECT_EQ(Call(client, "Echo", VariantArray{MakeVariant(unwritable)})->code,
                  basemarshal::kErrorNotSent);
    }
    auto noMethod = std::make_shared<Outcome>();
    client.SendRequest(MakeVariant(VariantObject()), noMethod->ResultHandler(),
                       noMethod->ErrorHandler(), 0);
    ASSERT_TRUE(noMethod->Wait());
    EXPECT_EQ(noMethod->code, basemarshal::kErrorNotSent);
    EXPECT_EQ(Call(client, "Echo", VariantArray())->results, 1);
}

// Requests on a closed session, or in flight when their client goes, end with an error on
// another thread; the client leaves the session to its owner.
TEST(TransportRPC, ClosedSessionsAndDestroyedClientsFailRequests) {
    Loopback loop;
    std::mutex mutex;
    std::vector<Responder> held;
    loop.server.AddMethod("Hold", [&](SessionPtr const&, VariantPtr const&, Responder const& r) {
        std::lock_guard<std::mutex> lock(mutex);
        held.push_back(r);
    });
    SessionPtr session = loop.Connect();
    std::vector<std::shared_ptr<Outcome>> outcomes;
    {
        basemarshal::RPCClient client(session, u"test");
        for (int i = 0; i < 3; ++i) {
            outcomes.push_back(std::make_shared<Outcome>());
            client.SendRequest(BuildCall("Hold", VariantArray()), outcomes.back()->ResultHandler(),
                               outcomes.back()->ErrorHandler(), 0);
        }
        ASSERT_TRUE(Eventually([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return held.size() == 3;
        }));
    }
    for (auto const& outcome : outcomes) {
        ASSERT_TRUE(outcome->Wait());
        EXPECT_EQ(outcome->code, basemarshal::kErrorSessionClosed);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        held.clear();  // the answers now go to nobody
    }
    ASSERT_FALSE(session->IsClosed()) << "the client leaves the session to its owner";
    basemarshal::RPCClient next(session, u"next");
    EXPECT_EQ(Call(next, "Echo", VariantArray())->results, 1);

    session->Close();
    auto closed = Call(next, "Echo", VariantArray());
    EXPECT_EQ(closed->errors, 1);
    EXPECT_EQ(closed->code, basemarshal::kErrorSessionClosed);
    EXPECT_NE(closed->handlerThread, std::this_thread::get_id());
    basemarshal::RPCClient none(SessionPtr(), u"no session");
    EXPECT_EQ(Call(none, "Echo", VariantArray())->code, basemarshal::kErrorSessionClosed);
    loop.Stop();
    EXPECT_EQ(closed->Handled(), 1);
    for (auto const& outcome : outcomes) {
        EXPECT_EQ(outcome->Handled(), 1);
    }
}

}  // namespace
}  // namespace vireo::test::transport
