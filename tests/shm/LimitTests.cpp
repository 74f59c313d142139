// Per-session limits on what the peer of a session holds of our publications.
#include <atomic>
#include <map>
#include <mutex>

#include "Fixture.h"
#include "Pattern.h"

namespace vireo::test::shm {
namespace {

using basekit::utility::Guid;
using json = boost::json::object;

// The smallest size class: a block of any size up to it holds this much.
constexpr std::uint64_t kBlock = 64 * 1024;

// We publish; peers hold what they asked for (their "request") until they drop it.
class ShmLimits : public WithPeer {
  protected:
    void SetUp() override {
        WithPeer::SetUp();
        ASSERT_TRUE(other.Start());
        Serve(peer);
        Serve(other);
    }
    void TearDown() override {
        crossprocess::SetSessionLimits({});
        other.Exit();
        WithPeer::TearDown();
    }

    // Answers each "want" of `who` with a block of the size asked for; records the result of
    // PublishToSession and keeps the block when it was refused.
    void Serve(Peer& who) {
        basetransport::SessionPtr const session = who.Session();
        auto results = mResults;
        who.OnWant([session, results](json const& want) {
            Guid const id(want.at("id").as_string().c_str());
            std::uint64_t const size = want.at("size").to_number<std::uint64_t>();
            auto ref = crossprocess::CreateWritableReference(size);
            FillPattern(ref->GetData(), size, 1);
            long const result = crossprocess::PublishToSession(session, id, ref, size);
            std::lock_guard<std::mutex> lock(results->mutex);
            results->byId[id] = result;
            if (result != 0) {
                results->kept[id] = ref;
            }
        });
    }

    // `who` asks for `size` bytes under a new id; returns our PublishToSession result.
    long Publish(Peer& who, std::uint64_t size, Guid* idOut = nullptr) {
        Guid const id = Guid::CreateUnique();
        if (idOut) {
            *idOut = id;
        }
        json const reply =
            who.Call("request", {{"id", id.AsUTF8String()}, {"size", size}, {"seed", 1}});
        if (reply.contains("timeout")) {
            return 1;
        }
        long result = 1;
        EXPECT_TRUE(Eventually([&] {
            std::lock_guard<std::mutex> lock(mResults->mutex);
            auto it = mResults->byId.find(id);
            if (it == mResults->byId.end()) {
                return false;
            }
            result = it->second;
            return true;
        }));
        return result;
    }

    // How many of its requests `who` received data for (after a flush barrier).
    std::size_t Received(Peer& who) {
        who.Call("stats", {});
        return who.Received("got").size();
    }

    Peer other;
    struct Results {
        std::mutex mutex;
        std::map<Guid, long> byId;
        std::map<Guid, crossprocess::WritableBinaryReferencePtr> kept;
    };
    std::shared_ptr<Results> mResults = std::make_shared<Results>();
};

TEST_F(ShmLimits, BlockAndMemoryLimitsRefuseAndReleasesGiveTheRoomBack) {
    crossprocess::SetSessionLimits({0, 2});
    Guid first;
    ASSERT_EQ(0, Publish(peer, 1000, &first));
    ASSERT_EQ(0, Publish(peer, 2000));
    crossprocess::SessionUsage usage = crossprocess::GetSessionUsage(peer.Session());
    EXPECT_EQ(2u, usage.blocks);
    EXPECT_EQ(2 * kBlock, usage.bytes);
    std::uint64_t const holds = crossprocess::GetStats().peerHolds;

    // A third block is refused: nothing is sent, no hold is taken, and the block stays ours.
    Guid refused;
    EXPECT_EQ(crossprocess::kPublishSessionBlockLimit, Publish(peer, 3000, &refused));
    EXPECT_EQ(2u, Received(peer));
    EXPECT_EQ(holds, crossprocess::GetStats().peerHolds);
    crossprocess::WritableBinaryReferencePtr kept;
    {
        std::lock_guard<std::mutex> lock(mResults->mutex);
        kept = mResults->kept[refused];
    }
    ASSERT_TRUE(kept);
    EXPECT_TRUE(CheckPattern(kept->GetData(), 3000, 1));

    // Another session is not affected by this one's usage.
    EXPECT_EQ(0, Publish(other, 3000));
    EXPECT_EQ(1u, crossprocess::GetSessionUsage(other.Session()).blocks);

    // The peer lets go of one block: its release gives the room back.
    peer.Call("drop", {{"id", first.AsUTF8String()}});
    ASSERT_TRUE(
        Eventually([&] { return crossprocess::GetSessionUsage(peer.Session()).blocks == 1; }));
    EXPECT_EQ(kBlock, crossprocess::GetSessionUsage(peer.Session()).bytes);
    EXPECT_EQ(0, Publish(peer, 4000));

    // Bytes: two blocks are held; one more byte than that is the limit.
    crossprocess::SetSessionLimits({2 * kBlock + 1, 0});
    EXPECT_EQ(crossprocess::kPublishSessionMemoryLimit, Publish(peer, 10));
    // A larger size class counts its whole capacity.
    crossprocess::SetSessionLimits({3 * kBlock, 0});
    EXPECT_EQ(crossprocess::kPublishSessionMemoryLimit, Publish(peer, kBlock + 1));
    EXPECT_EQ(0, Publish(peer, kBlock));
    EXPECT_EQ(3 * kBlock, crossprocess::GetSessionUsage(peer.Session()).bytes);

    // No limits: anything goes again.
    crossprocess::SetSessionLimits({});
    EXPECT_EQ(0, Publish(peer, 5 * kBlock));
}

TEST_F(ShmLimits, TheEndOfASessionGivesItsRoomBack) {
    crossprocess::SetSessionLimits({0, 1});
    std::uint64_t const leasedBefore = crossprocess::GetStats().blocksLeased;
    ASSERT_EQ(0, Publish(peer, 1000));
    ASSERT_EQ(0, Publish(other, 1000));
    EXPECT_EQ(crossprocess::kPublishSessionBlockLimit, Publish(peer, 1000));
    basetransport::SessionPtr const ended = peer.Session();

    peer.Kill();
    ASSERT_TRUE(Eventually([&] { return crossprocess::GetSessionUsage(ended).blocks == 0; }));
    EXPECT_EQ(0u, crossprocess::GetSessionUsage(ended).bytes);
    // The other session still holds its block, and is still at its limit.
    EXPECT_EQ(1u, crossprocess::GetSessionUsage(other.Session()).blocks);
    EXPECT_EQ(crossprocess::kPublishSessionBlockLimit, Publish(other, 1000));
    // The ended session's block is back in the pool (the refused blocks too, once let go).
    {
        std::lock_guard<std::mutex> lock(mResults->mutex);
        mResults->kept.clear();
    }
    EXPECT_TRUE(
        Eventually([&] { return crossprocess::GetStats().blocksLeased == leasedBefore + 1; }));

    // A new session starts with nothing held.
    Peer again;
    ASSERT_TRUE(again.Start());
    Serve(again);
    EXPECT_EQ(0, Publish(again, 1000));
    EXPECT_EQ(1u, crossprocess::GetSessionUsage(again.Session()).blocks);
    EXPECT_TRUE(again.Exit());
}

}  // namespace
}  // namespace vireo::test::shm
