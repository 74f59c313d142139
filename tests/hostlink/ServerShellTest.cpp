// The pieces of the server shell that method groups build on: serial queues on the worker pool
// and session-end callbacks.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "ServerContext.h"
#include "TestHelpers.h"
#include "TestSupport.h"
#include "WorkerPool.h"

namespace vireo::test::hostlink {

using namespace std::chrono_literals;

namespace {

// A session that only has an identity.
class FakeSession : public basetransport::Session {
  public:
    explicit FakeSession(std::int64_t id) : mID(id) {}
    bool IsClosed() const override { return false; }
    std::int64_t GetID() const override { return mID; }
    void Close() override {}
    bool SendMessage(boost::json::object const&) override { return false; }
    std::int64_t GetPeerProcessID() const override { return 0; }
    void SetMessageHandler(MessageHandler) override {}
    void AddCloseHandler(CloseHandler) override {}

  private:
    std::int64_t const mID;
};

}  // namespace

TEST(ServerShell, SerialQueuesRunInOrderOneTaskAtATime) {
    vireoserver::WorkerPool pool(4);
    constexpr int kQueues = 3;
    constexpr int kTasks = 200;
    std::vector<boost::shared_ptr<vireoserver::SerialQueue>> queues;
    std::vector<std::vector<int>> seen(kQueues);
    std::vector<std::atomic<int>> inside(kQueues);
    std::atomic<bool> overlapped{false};
    std::atomic<int> done{0};
    for (int q = 0; q < kQueues; ++q) {
        queues.push_back(pool.MakeQueue());
    }
    for (int i = 0; i < kTasks; ++i) {
        for (int q = 0; q < kQueues; ++q) {
            queues[q]->Post([&, q, i] {
                if (inside[q].fetch_add(1) != 0) {
                    overlapped = true;
                }
                seen[q].push_back(i);  // unguarded on purpose: the queue serialises
                inside[q].fetch_sub(1);
                ++done;
            });
        }
    }
    ASSERT_TRUE(support::WaitUntil([&] { return done.load() == kQueues * kTasks; }, Scaled(10s)));
    EXPECT_FALSE(overlapped);
    for (auto const& order : seen) {
        ASSERT_EQ(static_cast<std::size_t>(kTasks), order.size());
        for (int i = 0; i < kTasks; ++i) {
            EXPECT_EQ(i, order[i]);
        }
    }

    // Stop waits for the running task and drops the queued ones.
    vireoserver::WorkerPool single(1);
    auto queue = single.MakeQueue();
    std::atomic<bool> started{false};
    std::atomic<int> ran{0};
    single.Post([&] {
        started = true;
        std::this_thread::sleep_for(50ms);
        ++ran;
    });
    ASSERT_TRUE(support::WaitUntil([&] { return started.load(); }, Scaled(10s)));
    for (int i = 0; i < 5; ++i) {
        queue->Post([&] { ran += 100; });
    }
    single.Stop();
    EXPECT_EQ(1, ran.load());
    single.Post([&] { ran += 1000; });  // after Stop: dropped (no thread is left to run it)
    queue->Post([&] { ran += 1000; });
    EXPECT_EQ(1, ran.load());
}

TEST(ServerShell, SessionEndCallbacksRunOnceAndLate) {
    vireoserver::ServerContext context(::hostlink::server::LaunchOptions{});
    auto one = boost::make_shared<FakeSession>(1);
    auto two = boost::make_shared<FakeSession>(2);
    std::vector<std::string> events;
    std::mutex mutex;
    auto record = [&](std::string event) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(std::move(event));
    };
    context.AddSessionEndListener([&](basetransport::SessionPtr const& session) {
        record("listener " + std::to_string(session->GetID()));
    });
    context.SessionStarted(one);
    context.SessionStarted(two);
    EXPECT_EQ(2u, context.OpenSessionCount());
    context.AtSessionEnd(one, [&] { record("close movie a"); });
    context.AtSessionEnd(one, [&] { record("close movie b"); });
    context.AtSessionEnd(two, [&] { record("close movie c"); });

    EXPECT_TRUE(context.SessionEnded(one));
    EXPECT_FALSE(context.SessionEnded(one));  // reported twice: runs once
    EXPECT_EQ((std::vector<std::string>{"close movie a", "close movie b", "listener 1"}), events);
    EXPECT_EQ(1u, context.OpenSessionCount());

    // Registered after the session ended (a request that raced its client's departure): at once.
    events.clear();
    context.AtSessionEnd(one, [&] { record("late"); });
    EXPECT_EQ(std::vector<std::string>{"late"}, events);
}

}  // namespace vireo::test::hostlink
