// Data notifications between two processes: delivery, failures, withdrawal, the end of the
// peer.
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Fixture.h"
#include "Pattern.h"
#include "basekit/debug/Debug.h"

namespace vireo::test::shm {
namespace {

using basekit::utility::Guid;
using json = boost::json::object;

using ShmNotifications = WithPeer;

TEST_F(ShmNotifications, PublishedBytesArriveIntactOnAnotherThread) {
    std::uint64_t const sizes[] = {1, 4095, 65536 + 3, 3u << 20};
    std::uint64_t seed = 11;
    for (std::uint64_t size : sizes) {
        SCOPED_TRACE(size);
        Waiter waiter;
        Guid const id = Guid::CreateUnique();
        ASSERT_EQ(0, Request(id, waiter, {{"mode", "data"}, {"size", size}, {"seed", ++seed}}));
        ASSERT_TRUE(waiter.Wait());
        EXPECT_EQ(crossprocess::kStatusOK, waiter.Status());
        EXPECT_FALSE(waiter.RanOnRegisteringThread());
        EXPECT_EQ(basekit::threads::ThreadRole::kSharedData, waiter.Role());
        auto ref = waiter.Ref();
        ASSERT_TRUE(ref);
        ASSERT_EQ(size, ref->GetSize());
        const void* data = ref->GetData();
        EXPECT_TRUE(CheckPattern(data, size, seed));
        ref->ReleaseData(data);
        EXPECT_EQ(1, waiter.Count());
    }
    // Every reference is gone: the peer has all its blocks back in its pool.
    EXPECT_TRUE(Eventually([&] { return peer.RemoteStats().blocksLeased == 0; }));
}

TEST_F(ShmNotifications, PeerFailureIsReportedAndNeverReadsAsSuccessOrWithdrawal) {
    struct Case {
        const char* mode;
        long sent;
        long expected;
    } const cases[] = {
        {"fail", -7, -7},
        {"fail", 0, crossprocess::kStatusFailed},
        {"rawfail", 0, crossprocess::kStatusFailed},
        {"rawfail", 5, crossprocess::kStatusFailed},
        {"rawfail", crossprocess::kNotificationCancelled, crossprocess::kStatusFailed}};
    for (auto const& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + std::to_string(c.sent));
        Waiter waiter;
        Guid const id = Guid::CreateUnique();
        ASSERT_EQ(0, Request(id, waiter, {{"mode", c.mode}, {"status", c.sent}}));
        ASSERT_TRUE(waiter.Wait());
        EXPECT_EQ(c.expected, waiter.Status());
        EXPECT_FALSE(waiter.Ref());
    }
}

TEST_F(ShmNotifications, KilledPublisherFailsEveryPendingNotification) {
    Waiter first;
    Waiter second;
    ASSERT_EQ(0, Request(Guid::CreateUnique(), first, {{"mode", "never"}}));
    ASSERT_EQ(0, Request(Guid::CreateUnique(), second, {{"mode", "never"}}));
    // The peer has handled both requests (its answer comes after them) and sent nothing.
    ASSERT_FALSE(peer.Call("stats", {}).contains("timeout"));
    EXPECT_EQ(0, first.Count());
    EXPECT_EQ(0, second.Count());

    peer.Kill();
    ASSERT_TRUE(first.Wait());
    ASSERT_TRUE(second.Wait());
    EXPECT_EQ(crossprocess::kStatusPeerGone, first.Status());
    EXPECT_EQ(crossprocess::kStatusPeerGone, second.Status());
    EXPECT_EQ(basekit::threads::ThreadRole::kSharedData, first.Role());
    EXPECT_EQ(0u, crossprocess::GetStats().pendingNotifications);
}

TEST_F(ShmNotifications, CancelThatWinsTheRaceDropsTheDataAndFreesTheBlock) {
    Waiter waiter;
    Guid const id = Guid::CreateUnique();
    ASSERT_EQ(0, Request(id, waiter, {{"mode", "hold"}, {"size", 100000}, {"seed", 3}}));
    ASSERT_TRUE(peer.WaitReceived("held", 1));
    std::uint64_t const unclaimedBefore = crossprocess::GetStats().unclaimedReleased;

    crossprocess::CancelAllOutstandingNotifications(id, crossprocess::kNotificationCancelled);
    ASSERT_EQ(0, peer.Call("go", {{"id", id.AsUTF8String()}}).at("result").as_int64());

    // The late data is given back unseen, and the peer's block returns to its pool.
    EXPECT_TRUE(Eventually(
        [&] { return crossprocess::GetStats().unclaimedReleased == unclaimedBefore + 1; }));
    EXPECT_TRUE(Eventually([&] { return peer.RemoteStats().blocksLeased == 0; }));
    EXPECT_EQ(0, waiter.Count());
}

TEST_F(ShmNotifications, TwoWaitersCompleteIndependently) {
    Waiter slow;
    Waiter fast;
    Guid const slowId = Guid::CreateUnique();
    Guid const fastId = Guid::CreateUnique();
    ASSERT_EQ(0, Request(slowId, slow, {{"mode", "hold"}, {"size", 5000}, {"seed", 21}}));
    ASSERT_EQ(0, Request(fastId, fast, {{"mode", "data"}, {"size", 7000}, {"seed", 22}}));
    ASSERT_TRUE(fast.Wait());
    EXPECT_EQ(0, slow.Count());
    ASSERT_TRUE(peer.WaitReceived("held", 1));
    peer.Call("go", {{"id", slowId.AsUTF8String()}});
    ASSERT_TRUE(slow.Wait());

    for (auto* w : {&slow, &fast}) {
        auto ref = w->Ref();
        ASSERT_TRUE(ref);
        EXPECT_EQ(1, w->Count());
        EXPECT_TRUE(CheckPattern(ref->GetData(), ref->GetSize(), w == &slow ? 21 : 22));
    }
    EXPECT_EQ(5000u, slow.Ref()->GetSize());
    EXPECT_EQ(7000u, fast.Ref()->GetSize());
}

TEST_F(ShmNotifications, RequestThatWentNowhereFailsLaterNotInline) {
    // A start action that sends nothing: no data can ever come.
    Waiter silent;
    ASSERT_EQ(0, crossprocess::GetBinaryDataWithAsyncNotification(Guid::CreateUnique(),
                                                                  silent.Handler(), [] {}));
    // A start action that sends on a session that has already ended.
    Peer other;
    ASSERT_TRUE(other.Start());
    basetransport::SessionPtr const closed = other.Session();
    closed->Close();
    ASSERT_TRUE(Eventually([&] { return closed->IsClosed(); }));
    Waiter late;
    ASSERT_EQ(0, crossprocess::GetBinaryDataWithAsyncNotification(
                     Guid::CreateUnique(), late.Handler(), [closed] {
                         closed->SendMessage(json{{"method", "test.want"}});
                     }));

    for (auto* w : {&silent, &late}) {
        ASSERT_TRUE(w->Wait());
        EXPECT_EQ(crossprocess::kStatusPeerGone, w->Status());
        EXPECT_FALSE(w->RanOnRegisteringThread());
        EXPECT_EQ(basekit::threads::ThreadRole::kSharedData, w->Role());
        EXPECT_EQ(1, w->Count());
    }
    // The thread that delivered them keeps serving: a later failure arrives the same way.
    Waiter again;
    ASSERT_EQ(0, crossprocess::GetBinaryDataWithAsyncNotification(Guid::CreateUnique(),
                                                                  again.Handler(), [] {}));
    ASSERT_TRUE(again.Wait());
    EXPECT_EQ(crossprocess::kStatusPeerGone, again.Status());
}

TEST_F(ShmNotifications, HandlerExceptionsAreReportedAndDeliveryGoesOn) {
    std::vector<std::string> reports;
    std::mutex reportsMutex;
    auto previous = basekit::debug::SetReportHandler([&](basekit::debug::Report const& report) {
        std::lock_guard<std::mutex> lock(reportsMutex);
        reports.push_back(report.message);
        return false;
    });
    // A handler that throws, once on the crossprocess thread and once on a transport thread.
    auto thrower = [](Guid const&, crossprocess::BinaryReferencePtr, long) {
        throw std::runtime_error("handler failed");
    };
    ASSERT_EQ(
        0, crossprocess::GetBinaryDataWithAsyncNotification(Guid::CreateUnique(), thrower, [] {}));
    Guid const id = Guid::CreateUnique();
    ASSERT_EQ(0, crossprocess::GetBinaryDataWithAsyncNotification(id, thrower, [&] {
                  peer.Send("want", {{"id", id.AsUTF8String()}, {"mode", "data"}, {"size", 10}});
              }));
    // Both threads go on delivering.
    Waiter after;
    ASSERT_EQ(0, Request(Guid::CreateUnique(), after, {{"mode", "data"}, {"size", 10}}));
    ASSERT_TRUE(after.Wait());
    EXPECT_EQ(crossprocess::kStatusOK, after.Status());
    EXPECT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(reportsMutex);
        return reports.size() >= 2;
    }));
    basekit::debug::SetReportHandler(previous);
    std::lock_guard<std::mutex> lock(reportsMutex);
    for (auto const& message : reports) {
        EXPECT_NE(std::string::npos, message.find("handler failed")) << message;
    }
}

}  // namespace
}  // namespace vireo::test::shm
