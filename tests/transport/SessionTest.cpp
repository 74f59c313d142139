// Sessions: malformed input ends them without harm, extensions get their messages, the end is
// reported once to everyone who asked, and messages keep their order.
#include <atomic>
#include <boost/json/serialize.hpp>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "basetransport/Extensions.h"

namespace vireo::test::transport {
namespace {

namespace json = boost::json;
using basekit::serialization::VariantPtr;
using basetransport::SessionPtr;

std::string Notification(char const* method) {
    return json::serialize(
               json::object{{"jsonrpc", "2.0"}, {"method", method}, {"params", json::array()}}) +
           "\n";
}

TEST(TransportSession, OversizedMessageEndsTheSession) {
    Loopback loop;
    RawConnection raw(loop.port);
    ASSERT_NE(raw.Hello(loop.token, basetransport::kProtocolVersion).find("result"),
              std::string::npos);
    SessionPtr session = loop.ServerSession(0);
    ASSERT_TRUE(session);
    std::atomic<int> ended{0};
    session->AddCloseHandler([&](SessionPtr const&) { ended.fetch_add(1); });

    std::string const chunk(1 << 20, 'a');  // no line feed anywhere
    std::size_t sent = 0;
    while (sent <= basetransport::kMaxMessageBytes + chunk.size() && raw.Send(chunk)) {
        sent += chunk.size();
    }
    EXPECT_TRUE(Eventually([&] { return ended.load() == 1; }));
    EXPECT_TRUE(session->IsClosed());
    EXPECT_NE(session->GetCloseReason().find("size limit"), std::string::npos)
        << session->GetCloseReason();
    EXPECT_TRUE(raw.WaitForClose());
}

TEST(TransportSession, MalformedLineEndsTheSessionAfterTheGoodOnes) {
    Loopback loop;
    std::atomic<int> notes{0};
    loop.server.AddMethod("Note", [&](SessionPtr const&, VariantPtr const&,
                                      basemarshal::Responder const&) { notes.fetch_add(1); });
    // What lines the reader refuses is its fuzz target's; here one of them, and a number no
    // double holds, which could not be written back as JSON (an answer echoing it as id would
    // not parse).
    char const* const bad[] = {"{\"a\":1}{\"b\":2}\n",
                               "{\"jsonrpc\":\"2.0\",\"id\":1e400,\"method\":\"Echo\"}\n"};
    std::size_t index = 0;
    for (char const* line : bad) {
        RawConnection raw(loop.port);
        ASSERT_NE(raw.Hello(loop.token, basetransport::kProtocolVersion).find("result"),
                  std::string::npos);
        SessionPtr session = loop.ServerSession(index++);
        ASSERT_TRUE(session);
        int const before = notes.load();
        ASSERT_TRUE(raw.Send(Notification("Note") + line + Notification("Note")));
        EXPECT_TRUE(raw.WaitForClose()) << line;
        EXPECT_TRUE(Eventually([&] { return session->IsClosed(); }));
        EXPECT_TRUE(Eventually([&] { return notes.load() == before + 1; })) << line;
        EXPECT_FALSE(session->GetCloseReason().empty());
    }
    // The server is unharmed.
    basemarshal::RPCClient client(loop.Connect(), u"test");
    EXPECT_EQ(Call(client, "Echo", basekit::serialization::VariantArray())->results, 1);
}

TEST(TransportSession, ExtensionsTakeTheirPrefix) {
    Loopback loop;
    std::atomic<int> extension{0};
    std::atomic<int> rpc{0};
    std::atomic<std::int64_t> extensionSession{0};
    basetransport::RegisterExtension("testext.",
                                     [&](SessionPtr const& session, json::object const& message) {
                                         extensionSession.store(session->GetID());
                                         if (message.at("method").as_string() == "testext.data") {
                                             extension.fetch_add(1);
                                         }
                                     });
    auto count = [&](SessionPtr const&, VariantPtr const&, basemarshal::Responder const&) {
        rpc.fetch_add(1);
    };
    loop.server.AddMethod("testext.data", count);
    loop.server.AddMethod("testextra", count);

    SessionPtr client = loop.Connect();
    ASSERT_TRUE(client);
    json::object data{{"jsonrpc", "2.0"}, {"method", "testext.data"}, {"params", json::object()}};
    json::object other{{"jsonrpc", "2.0"}, {"method", "testextra"}, {"params", json::array()}};
    client->SendMessage(data);
    client->SendMessage(other);
    EXPECT_TRUE(Eventually([&] { return extension.load() == 1 && rpc.load() == 1; }));
    EXPECT_EQ(extensionSession.load(), loop.ServerSession(0)->GetID());

    basetransport::UnregisterExtension("testext.");
    client->SendMessage(data);
    EXPECT_TRUE(Eventually([&] { return rpc.load() == 2; }));
    EXPECT_EQ(extension.load(), 1);
}

TEST(TransportSession, EndIsReportedOnceToEveryone) {
    auto loop = std::make_unique<Loopback>();
    SessionPtr client = loop->Connect();
    ASSERT_TRUE(client);
    SessionPtr server = loop->ServerSession(0);
    ASSERT_TRUE(server);

    std::mutex mutex;
    std::vector<std::string> calls;
    auto record = [&](std::string what, SessionPtr const& session) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(what + (session->GetID() == client->GetID() ? " client" : " server") +
                        (session->IsClosed() ? "" : " OPEN"));
    };
    client->AddCloseHandler([&](SessionPtr const& s) { record("close1", s); });
    client->AddCloseHandler([&](SessionPtr const& s) { record("close2", s); });
    loop->clientTransport->AddSessionHandler([&](SessionPtr s) {
        record("transport", s);
        return 0;
    });
    auto removed = loop->serverTransport->AddSessionHandler([&](SessionPtr s) {
        record("removed", s);
        return 0;
    });
    loop->serverTransport->RemoveSessionHandler(removed);
    auto observer = basetransport::AddSessionEndObserver([&](SessionPtr const& s) {
        if (s->GetID() == client->GetID() || s->GetID() == server->GetID()) {
            record("observer", s);
        }
    });

    client->Close();
    client->Close();
    EXPECT_FALSE(client->SendMessage(json::object{{"method", "x"}}));
    EXPECT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return calls.size() == 5;
    }));
    client->AddCloseHandler([&](SessionPtr const& s) { record("late", s); });
    EXPECT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return calls.size() == 6;
    }));
    // Destroying the transports waits for their threads: any duplicate would have run by now.
    loop.reset();
    basetransport::RemoveSessionEndObserver(observer);

    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> clientCalls;
    std::vector<std::string> serverCalls;
    for (auto const& call : calls) {
        (call.find("client") != std::string::npos ? clientCalls : serverCalls).push_back(call);
    }
    EXPECT_EQ(clientCalls,
              (std::vector<std::string>{"close1 client", "close2 client", "transport client",
                                        "observer client", "late client"}));
    EXPECT_EQ(serverCalls, std::vector<std::string>{"observer server"});
}

TEST(TransportSession, MessagesArriveInOrderAndSendingNeverBlocks) {
    Loopback loop;
    // No handler here blocks: with a long grace the order is exact even on a loaded machine.
    loop.serverTransport->SetDeliveryGrace(std::chrono::seconds(10));
    std::mutex mutex;
    std::vector<std::int64_t> seen;
    loop.server.AddMethod("Seq", [&](SessionPtr const&, VariantPtr const& params,
                                     basemarshal::Responder const&) {
        auto const& array = boost::any_cast<basekit::serialization::VariantArray const&>(*params);
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(boost::any_cast<std::int64_t>(*array.at(0)));
    });
    basemarshal::RPCClient client(loop.Connect(), u"test");
    constexpr int kCount = 2000;
    for (int i = 0; i < kCount; ++i) {
        basekit::serialization::VariantArray params;
        params.push_back(basekit::serialization::MakeVariant(std::int64_t{i}));
        client.SendNotification(basekit::serialization::BuildCall("Seq", params));
    }
    EXPECT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.size() == kCount;
    }));
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (std::size_t i = 0; i < seen.size(); ++i) {
            ASSERT_EQ(seen[i], static_cast<std::int64_t>(i));
        }
    }

    // A peer that never reads: sending still returns at once, the bytes wait in the queue.
    RawConnection raw(loop.port);
    ASSERT_NE(raw.Hello(loop.token, basetransport::kProtocolVersion).find("result"),
              std::string::npos);
    SessionPtr stalled = loop.ServerSession(1);
    ASSERT_TRUE(stalled);
    json::object big{{"method", "Blob"}, {"params", std::string(64 * 1024, 'b')}};
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(stalled->SendMessage(big));
    }
    EXPECT_FALSE(stalled->IsClosed());
}

}  // namespace
}  // namespace vireo::test::transport
