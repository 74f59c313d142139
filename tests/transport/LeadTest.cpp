// A caller that reads its session itself while it waits for its answer (Session::Lead), as the
// library's synchronous calls do: its own answer on its own thread, everything else handed on to
// a worker and delivered once and in order, and every way out still ending the wait.
#include <atomic>
#include <optional>

#include "TestSupport.h"
#include "basekit/threads/Gate.h"
#include "basekit/threads/ThreadRole.h"
#include "basetransport/Extensions.h"

namespace vireo::test::transport {
namespace {

using namespace basekit::serialization;
using basemarshal::Responder;
using basetransport::SessionPtr;

struct Awaited : basetransport::AwaitedAnswer {
    bool Arrived() override { return outcome->Handled() > 0; }
    bool IsAnswer(boost::json::object const& message) override {
        auto const* value = message.if_contains("id");
        return value && value->is_int64() && value->get_int64() == id;
    }
    std::shared_ptr<Outcome> outcome = std::make_shared<Outcome>();
    std::int64_t id = 0;
};

struct LedOutcome {
    std::shared_ptr<Outcome> outcome;
    bool handlerRole = false;  // the result handler ran on a thread marked as a handler thread
    bool onCaller = false;     // ... and that was the calling thread
};

// Sends `method` and leads `session` while waiting for its answer; then waits (bounded) as a
// caller would when it could not lead. With `claim`, the reading is claimed before the request
// goes out, as the library's synchronous calls do.
LedOutcome LeadCall(basemarshal::RPCClient& client, SessionPtr const& session, char const* method,
                    boost::any const& params, bool claim = true) {
    std::optional<basetransport::ReadingClaim> claimed;
    if (claim) {
        claimed.emplace(session);
    }
    auto awaited = std::make_shared<Awaited>();
    auto role = std::make_shared<std::atomic<bool>>(false);
    auto onResult = awaited->outcome->ResultHandler();
    auto onError = awaited->outcome->ErrorHandler();
    awaited->id = client.SendRequest(
        BuildCall(method, params),
        [awaited, onResult, role, session](VariantPtr const& value, std::int64_t arg) {
            role->store(basekit::threads::IsHandlerThread());
            onResult(value, arg);
            session->WakeLeader();
        },
        [awaited, onError, session](long code, std::u16string const& text, std::int64_t arg) {
            onError(code, text, arg);
            session->WakeLeader();
        },
        0);
    session->Lead(*awaited);
    EXPECT_EQ(basekit::threads::CurrentThreadRole(), basekit::threads::ThreadRole::kOther);
    awaited->outcome->Wait();
    LedOutcome led{awaited->outcome, role->load(), false};
    std::lock_guard<std::mutex> lock(led.outcome->mutex);
    led.onCaller = led.outcome->handlerThread == std::this_thread::get_id();
    return led;
}

TEST(TransportLead, CallersTakeTheirOwnAnswersAmongOthers) {
    Loopback loop;
    // Answers in another order than the requests: each from a task posted by its handler.
    loop.server.AddMethod(
        "Later", [](SessionPtr const& s, VariantPtr const& params, Responder const& r) {
            s->Post([r, params] { r.Reply(MakeVariant(VariantObject{{"value", params}})); });
        });
    SessionPtr const session = loop.Connect();
    ASSERT_TRUE(session);
    basemarshal::RPCClient client(session, u"test");

    constexpr int kThreads = 4;
    constexpr int kCalls = 150;
    std::atomic<int> wrong{0}, onCaller{0}, unmarked{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                std::int64_t const mine = t * 100000 + i;
                auto const led = LeadCall(client, session, i % 3 == 0 ? "Later" : "Echo",
                                          VariantArray{MakeVariant(mine)}, i % 2 == 0);
                std::lock_guard<std::mutex> lock(led.outcome->mutex);
                VariantPtr const expected = MakeVariant(
                    VariantObject{{"value", MakeVariant(VariantArray{MakeVariant(mine)})}});
                bool const right = led.outcome->results == 1 && led.outcome->errors == 0 &&
                                   led.outcome->result &&
                                   SameVariant(*led.outcome->result, *expected);
                wrong += right ? 0 : 1;
                onCaller += led.onCaller ? 1 : 0;
                unmarked += led.handlerRole ? 0 : 1;
            }
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(wrong.load(), 0) << "every caller gets its own answer, exactly once";
    EXPECT_EQ(unmarked.load(), 0) << "answers run marked as handler code, on any thread";
    EXPECT_GT(onCaller.load(), 0) << "waiting callers read their own answers";
}

TEST(TransportLead, NotificationsWhileLeadingAreHandedOnInOrder) {
    Loopback loop;
    // Five notifications, then the answer.
    loop.server.AddMethod("Burst", [](SessionPtr const& s, VariantPtr const&, Responder const& r) {
        for (std::int64_t i = 0; i < 5; ++i) {
            s->SendMessage(boost::json::object{{"jsonrpc", "2.0"},
                                               {"method", "test.lead.note"},
                                               {"params", boost::json::array{i}}});
        }
        r.Reply(MakeVariant(VariantObject()));
    });
    std::mutex mutex;
    std::vector<std::int64_t> notes;
    std::vector<std::thread::id> noteThreads;
    basetransport::RegisterExtension(
        "test.lead.", [&](SessionPtr const&, boost::json::object const& message) {
            std::lock_guard<std::mutex> lock(mutex);
            notes.push_back(message.at("params").as_array().at(0).as_int64());
            noteThreads.push_back(std::this_thread::get_id());
        });
    SessionPtr const session = loop.Connect();
    basemarshal::RPCClient client(session, u"test");
    for (int round = 0; round < 20; ++round) {
        auto const led = LeadCall(client, session, "Burst", VariantArray());
        ASSERT_EQ(led.outcome->results, 1);
        // Delivered in order with the answer: all five have come before it.
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_EQ(notes.size(), std::size_t(5 * (round + 1)));
        for (std::size_t i = 0; i < notes.size(); ++i) {
            EXPECT_EQ(notes[i], std::int64_t(i % 5));
            // Only the caller's own answer runs on the caller's thread.
            EXPECT_NE(noteThreads[i], std::this_thread::get_id());
        }
    }
    basetransport::UnregisterExtension("test.lead.");
}

TEST(TransportLead, AClaimNobodyLedIsHandedBack) {
    Loopback loop;
    std::atomic<int> notes{0};
    basetransport::RegisterExtension(
        "test.claim.", [&](SessionPtr const&, boost::json::object const&) { ++notes; });
    loop.server.AddMethod("Note", [](SessionPtr const& s, VariantPtr const&, Responder const& r) {
        s->SendMessage(boost::json::object{
            {"jsonrpc", "2.0"}, {"method", "test.claim.note"}, {"params", boost::json::array()}});
        r.Reply(MakeVariant(VariantObject()));
    });
    SessionPtr const session = loop.Connect();
    basemarshal::RPCClient client(session, u"test");
    for (int round = 1; round <= 20; ++round) {
        auto const outcome = std::make_shared<Outcome>();  // its handlers point into it
        {
            // Claimed, a request sent, and nobody leads (the caller found its answer given):
            // the workers read the session again, so the notification and the answer come.
            basetransport::ReadingClaim const claim(session);
            client.SendRequest(BuildCall("Note", VariantArray()), outcome->ResultHandler(),
                               outcome->ErrorHandler(), 0);
        }
        ASSERT_TRUE(Eventually([&] { return notes.load() == round; }));
        ASSERT_TRUE(outcome->Wait());
        EXPECT_EQ(outcome->results, 1);
    }
    {
        // The peer drops the connection while the reading is claimed: the end still comes.
        basetransport::ReadingClaim const claim(session);
        loop.ServerSession(0)->Close();
    }
    ASSERT_TRUE(Eventually([&] { return session->IsClosed(); }));
    EXPECT_EQ(Call(client, "Echo", VariantArray())->code, basemarshal::kErrorSessionClosed);
    basetransport::UnregisterExtension("test.claim.");
}

TEST(TransportLead, EveryWayOutReleasesTheLeader) {
    Loopback loop;
    std::mutex mutex;
    std::vector<Responder> kept;
    loop.server.AddMethod("Never", [&](SessionPtr const&, VariantPtr const&, Responder const& r) {
        std::lock_guard<std::mutex> lock(mutex);
        kept.push_back(r);
    });
    loop.server.AddMethod("Block", [](SessionPtr const& s, VariantPtr const&, Responder const& r) {
        s->SendMessage(boost::json::object{
            {"jsonrpc", "2.0"}, {"method", "test.block.now"}, {"params", boost::json::array()}});
        r.Reply(MakeVariant(VariantObject()));
    });
    basekit::threads::Gate release(false);
    basetransport::RegisterExtension("test.block.",
                                     [&](SessionPtr const&, boost::json::object const&) {
                                         release.PassThrough(ScaledMs(20000));
                                     });

    {
        // A notification handler blocks while a caller leads: the caller's answer, behind it,
        // and later answers still come.
        SessionPtr const session = loop.Connect();
        basemarshal::RPCClient client(session, u"test");
        std::thread leader([&] {
            auto const led = LeadCall(client, session, "Block", VariantArray());
            EXPECT_EQ(led.outcome->results, 1);
        });
        // Whoever runs the blocking handler, the answers after it are delivered past it.
        EXPECT_EQ(Call(client, "Echo", VariantArray())->results, 1);
        EXPECT_EQ(Call(client, "Echo", VariantArray())->results, 1);
        release.Open();
        leader.join();
    }
    // A caller leads for an answer that never comes, and `end` ends the wait: the caller gets
    // the session's end, promptly.
    auto endWhileLeading = [&](std::size_t keptBefore, auto end) {
        SessionPtr const session = loop.Connect();
        auto client = std::make_unique<basemarshal::RPCClient>(session, u"test");
        std::thread leader([&] {
            auto const led = LeadCall(*client, session, "Never", VariantArray());
            EXPECT_EQ(led.outcome->code, basemarshal::kErrorSessionClosed);
        });
        Eventually([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return kept.size() == keptBefore + 1;
        });
        auto const start = Clock::now();
        end(client, session);
        leader.join();
        EXPECT_LT(Clock::now() - start, Bound(Milliseconds(2000)));
    };
    // The client goes while its caller leads: the error, posted to a worker, wakes it.
    endWhileLeading(0, [](auto& client, SessionPtr const&) { client.reset(); });
    // The peer drops the connection while the caller leads.
    endWhileLeading(1, [&](auto&, SessionPtr const& session) {
        loop.ServerSession(loop.SessionCount() - 1)->Close();
        EXPECT_TRUE(Eventually([&] { return session->IsClosed(); }));
    });
    basetransport::UnregisterExtension("test.block.");
    std::lock_guard<std::mutex> lock(mutex);
    kept.clear();
}

}  // namespace
}  // namespace vireo::test::transport
