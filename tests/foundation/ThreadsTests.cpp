// Identifiers, the two-party rendezvous and the gate.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <unordered_set>
#include <vector>

#include "basekit/threads/Gate.h"
#include "basekit/threads/SyncPoint.h"
#include "basekit/utility/Guid.h"

using basekit::threads::Gate;
using basekit::threads::SyncPoint;
using basekit::utility::Guid;

namespace vireo::test::foundation {

TEST(Guid, TextRoundTripsAndIsUpperCaseBraced) {
    constexpr Guid known{"{4F9CB3F7-C5DF-4F33-B5A5-784CDF9C3FB9}"};
    EXPECT_EQ(known.GetBytes()[15], 0xB9);
    EXPECT_EQ(known.AsUTF8String(), "{4F9CB3F7-C5DF-4F33-B5A5-784CDF9C3FB9}");
    EXPECT_EQ(Guid("{4f9cb3f7-c5df-4f33-b5a5-784cdf9c3fb9}"), known);  // lower case
    EXPECT_EQ(Guid("4F9CB3F7-C5DF-4F33-B5A5-784CDF9C3FB9"), known);    // without braces

    std::unordered_set<Guid> seen;
    for (int i = 0; i < 100; ++i) {
        Guid const g = Guid::CreateUnique();
        EXPECT_EQ(Guid(g.AsUTF8String().c_str()), g);
        EXPECT_TRUE(seen.insert(g).second);
    }
}

TEST(Guid, MalformedTextGivesTheNullIdentifier) {
    const char* const bad[] = {
        "",
        nullptr,
        "{4F9CB3F7-C5DF-4F33-B5A5-784CDF9C3FB}",    // too short
        "{4F9CB3F7-C5DF-4F33-B5A5-784CDF9C3FB90}",  // too long
        "{4F9CB3F7-C5DF-4F33-B5A5-784CDF9C3FBG}",   // not hex
        "{4F9CB3F7-C5DF-4F33-B5A5-784CDF9C3FB9",    // closing brace missing
        "4F9CB3F7-C5DF-4F33-B5A5-784CDF9C3FB9}",    // opening brace missing
        "{4F9CB3F7C5DF-4F33-B5A5-784CDF9C3FB9}",    // dash missing
        "{4F9CB3F7-C5DF-4F33-B5A5-784CDF9C3FB9} ",  // trailing text
    };
    for (const char* text : bad) {
        EXPECT_TRUE(Guid(text).IsNull()) << (text ? text : "(null)");
    }
}

TEST(Gate, PassThroughWaitsForOpenFromAnotherThreadOrGivesUp) {
    Gate gate(false);
    EXPECT_FALSE(gate.PassThrough(0));   // only looks
    EXPECT_FALSE(gate.PassThrough(20));  // waits, then gives up
    std::atomic<int> passed{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] { passed += gate.PassThrough(-1) ? 1 : 0; });
    }
    gate.Open();
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(passed.load(), 3);
    gate.Close();
    EXPECT_FALSE(gate.PassThrough(0));
}

TEST(SyncPoint, BothPartiesMeetAndTheRendezvousCanBeReused) {
    SyncPoint sync(2);
    std::atomic<int> rounds{0};
    std::thread other([&] {
        for (int i = 0; i < 200; ++i) {
            sync.Wait();
            ++rounds;
        }
    });
    for (int i = 0; i < 200; ++i) {
        EXPECT_TRUE(sync.Wait());
    }
    other.join();
    EXPECT_EQ(rounds.load(), 200);
}

TEST(SyncPoint, TimedWaitGivesUpAndWithdraws) {
    SyncPoint sync(2);
    EXPECT_FALSE(sync.Wait(10));
    // The withdrawn arrival must not count: a lone party still waits alone.
    EXPECT_FALSE(sync.Wait(10));
    std::thread other([&] { sync.Wait(); });
    EXPECT_TRUE(sync.Wait(-1));
    other.join();
}

TEST(SyncPoint, DestroyingRightAfterWaitReturnsIsSafe) {
    // The caller owns the rendezvous and destroys it as soon as its own Wait returns, whichever
    // party came first; the other party may still be inside Wait (AddressSanitizer and
    // ThreadSanitizer runs check that it never touches the freed object).
    for (int i = 0; i < 300; ++i) {
        auto sync = std::make_unique<SyncPoint>(2);
        SyncPoint* raw = sync.get();
        std::thread handler([raw] { raw->Wait(); });
        sync->Wait();
        sync.reset();
        handler.join();
    }
}

}  // namespace vireo::test::foundation
