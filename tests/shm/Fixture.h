#pragma once
// A test with a connected peer process and this process's crossprocess client started.
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "Harness.h"
#include "basekit/utility/Guid.h"

namespace vireo::test::shm {

class WithPeer : public ::testing::Test {
  protected:
    void SetUp() override {
        crossprocess::InitializeClient();
        ASSERT_TRUE(peer.Start()) << "shm_peer could not be started";
    }
    void TearDown() override {
        if (peer.Pid() > 0) {
            // Its crossprocess thread ends and is joined at exit, with timers still pending.
            EXPECT_TRUE(peer.Exit()) << "the peer exits on its own, with status 0";
        }
        crossprocess::UninitializeClient();
    }

    // Registers `waiter` for `id`; the start action asks `from` (by default the peer) for data
    // as `want` says.
    long Request(basekit::utility::Guid const& id, Waiter& waiter, boost::json::object want,
                 Peer* from = nullptr) {
        want["id"] = id.AsUTF8String();
        Peer* p = from ? from : &peer;
        return crossprocess::GetBinaryDataWithAsyncNotification(
            id, waiter.Handler(), [p, want] { p->Send("want", want); });
    }

    Peer peer;
};

}  // namespace vireo::test::shm
