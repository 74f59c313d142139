// The piece of the server shell that method groups build on: session-end callbacks. (The worker
// pool is tested with the movie methods, tests/engine.)
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

TEST(ServerShell, SessionEndCallbacksRunOnceAndLate) {
    vireo::server::ServerContext context(::hostlink::server::LaunchOptions{});
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
