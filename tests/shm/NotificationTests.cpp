// Data notifications between two processes: delivery, failures, requests that went nowhere and
// handlers that throw. (A cancel that wins the race and a publisher that dies are shown through
// the library, tests/library/DataPathTest.cpp and FaultTest.cpp.)
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
