// Handlers that block, many threads at once, and sessions that end under load.
#include <atomic>
#include <random>

#include "TestSupport.h"
#include "basekit/threads/Gate.h"
#include "basekit/threads/SyncPoint.h"

namespace vireo::test::transport {
namespace {

using namespace basekit::serialization;
using basemarshal::Responder;
using basetransport::SessionPtr;

TEST(TransportConcurrency, BlockedServerHandlersStopNeitherTheirSessionNorOthers) {
    Loopback loop;
    basekit::threads::Gate gate(false);
    loop.server.AddMethod("Wait", [&](SessionPtr const&, VariantPtr const&, Responder const& r) {
        r.Reply(MakeVariant(gate.PassThrough(ScaledMs(10000))));
    });
    loop.server.AddMethod("Release", [&](SessionPtr const&, VariantPtr const&, Responder const& r) {
        gate.Open();
        r.Reply(MakeVariant(true));
    });
    basemarshal::RPCClient client(loop.Connect(), u"test");
    // Calls in quick succession first, so that the handlers below block while the delivery
    // monitor stays armed from those calls rather than being armed by them.
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(Call(client, "Echo", VariantArray())->results, 1);
    }
    // Enough blocked handlers that the worker pool has to grow well past its start.
    constexpr int kBlocked = 24;
    std::vector<std::shared_ptr<Outcome>> waits;
    for (int i = 0; i < kBlocked; ++i) {
        waits.push_back(std::make_shared<Outcome>());
        client.SendRequest(BuildCall("Wait", VariantArray()), waits.back()->ResultHandler(),
                           waits.back()->ErrorHandler(), 0);
    }
    EXPECT_EQ(Call(client, "Echo", VariantArray())->results, 1) << "answered while blocked";
    // Neither accepting, nor handshakes, nor other sessions wait for the blocked handlers.
    basemarshal::RPCClient second(loop.Connect(), u"second");
    EXPECT_EQ(Call(second, "Echo", VariantArray())->results, 1);
    EXPECT_EQ(Call(client, "Release", VariantArray())->results, 1);
    for (auto const& wait : waits) {
        ASSERT_TRUE(wait->Wait());
        EXPECT_TRUE(boost::any_cast<bool>(*wait->result)) << "released, not timed out";
    }
}

TEST(TransportConcurrency, AnswerHandlerMayWaitForAnotherAnswer) {
    Loopback loop;
    basemarshal::RPCClient client(loop.Connect(), u"test");
    basekit::threads::SyncPoint outer(2);
    std::atomic<bool> innerAnswered{false};
    client.SendRequest(
        BuildCall("Echo", VariantArray()),
        [&](VariantPtr const&, std::int64_t) {
            // Inside an answer handler: a synchronous call on the same session.
            basekit::threads::SyncPoint inner(2);
            client.SendRequest(
                BuildCall("Echo", VariantArray()),
                [&](VariantPtr const&, std::int64_t) {
                    innerAnswered.store(true);
                    inner.Wait();
                },
                [&](long, std::u16string const&, std::int64_t) { inner.Wait(); }, 0);
            inner.Wait(ScaledMs(10000));
            outer.Wait();
        },
        [&](long, std::u16string const&, std::int64_t) { outer.Wait(); }, 0);
    ASSERT_TRUE(outer.Wait(ScaledMs(10000)));
    EXPECT_TRUE(innerAnswered.load());
}

TEST(TransportConcurrency, ExactlyOneHandlerPerRequestUnderLoad) {
    Loopback loop;
    std::mutex laterMutex;
    std::vector<std::thread> laterAnswers;
    loop.server.AddMethod("Fail", [](SessionPtr const&, VariantPtr const&, Responder const& r) {
        r.Error(7, "failed");
    });
    loop.server.AddMethod("Drop", [](SessionPtr const&, VariantPtr const&, Responder const&) {});
    loop.server.AddMethod("Later", [&](SessionPtr const&, VariantPtr const&, Responder const& r) {
        // Answered from another thread, a little later.
        std::lock_guard<std::mutex> lock(laterMutex);
        laterAnswers.emplace_back([r] {
            std::this_thread::yield();
            r.Reply(MakeVariant(true));
        });
    });
    SessionPtr session = loop.Connect();
    basemarshal::RPCClient client(session, u"test");

    constexpr int kThreads = 8;
    constexpr int kPerThread = 250;
    std::vector<std::atomic<int>> handled(kThreads * kPerThread);
    std::atomic<int> results{0};
    std::atomic<int> closedErrors{0};
    char const* const methods[] = {"Echo", "Fail", "Drop", "Later"};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            for (int i = 0; i < kPerThread; ++i) {
                int const slot = t * kPerThread + i;
                client.SendRequest(
                    BuildCall(methods[random() % 4], VariantArray()),
                    [&, slot](VariantPtr const&, std::int64_t) {
                        handled[slot].fetch_add(1);
                        results.fetch_add(1);
                    },
                    [&, slot](long code, std::u16string const&, std::int64_t) {
                        handled[slot].fetch_add(1);
                        if (code == basemarshal::kErrorSessionClosed) {
                            closedErrors.fetch_add(1);
                        }
                    },
                    0);
                if (t == 0 && i == kPerThread / 2) {
                    // The server ends the session mid-way, once answers are flowing.
                    Eventually([&] { return results.load() >= 20; });
                    loop.ServerSession(0)->Close();
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    auto allHandled = [&] {
        for (auto const& count : handled) {
            if (count.load() == 0) {
                return false;
            }
        }
        return true;
    };
    bool const allDone = Eventually(allHandled, Milliseconds(10000));
    // Every handler that was going to run has run (the server may still have been delivering
    // requests queued before the end of its session), and so has every answering thread.
    loop.Stop();
    {
        std::lock_guard<std::mutex> lock(laterMutex);
        for (auto& answer : laterAnswers) {
            answer.join();
        }
    }
    ASSERT_TRUE(allDone);
    for (std::size_t i = 0; i < handled.size(); ++i) {
        ASSERT_EQ(handled[i].load(), 1) << "request " << i;
    }
    EXPECT_GT(results.load(), 0);
    EXPECT_GT(closedErrors.load(), 0);
    EXPECT_TRUE(session->IsClosed());
}

}  // namespace
}  // namespace vireo::test::transport
