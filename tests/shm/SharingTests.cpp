// Data shared under an id for the peer to open, and video frames across processes.
#include "Fixture.h"
#include "Pattern.h"
#include "Pix/Pix.h"

namespace vireo::test::shm {
namespace {

using basekit::utility::Guid;
using json = boost::json::object;

using ShmSharing = WithPeer;

json Open(Peer& peer, Guid const& id, std::uint64_t seed) {
    return peer.Call("open", {{"id", id.AsUTF8String()}, {"seed", seed}});
}

TEST_F(ShmSharing, PeerOpensWhatWeShareUntilWeLetGo) {
    // The first share reaches a peer that has not spoken crossprocess yet: it asks for it.
    // After that the peer is told of every share ahead of the call that names it.
    for (std::uint64_t round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        std::uint64_t const size = 70000 + round;
        Guid const id = Guid::CreateUnique();
        auto ref = crossprocess::CreateWritableReference(size);
        ASSERT_TRUE(ref);
        FillPattern(ref->GetData(), size, 40 + round);
        ASSERT_EQ(0, crossprocess::Share(id, ref, size));
        EXPECT_NE(0, crossprocess::Share(id, ref, size)) << "an id is shared once";
        EXPECT_NE(0, crossprocess::Share(Guid::CreateUnique(), ref, size + 1)) << "past its end";

        json const opened = Open(peer, id, 40 + round);
        ASSERT_TRUE(opened.at("found").as_bool());
        EXPECT_EQ(size, opened.at("size").to_number<std::uint64_t>());
        EXPECT_TRUE(opened.at("match").as_bool());
        ref.reset();  // ends the share (the peer may still be reading the news)
        EXPECT_TRUE(Eventually([&] { return !Open(peer, id, 0).at("found").as_bool(); }));
    }
    // Every hold the peer had is released: our blocks are back in the pool.
    EXPECT_TRUE(Eventually([] {
        auto const s = crossprocess::GetStats();
        return s.peerHolds == 0 && s.blocksLeased == 0 && s.sharedIds == 0;
    }));
}

TEST_F(ShmSharing, WeOpenWhatThePeerSharesUntilItEndsTheShareOrItsSession) {
    Guid const id = Guid::CreateUnique();
    ASSERT_EQ(0, peer.Call("share", {{"id", id.AsUTF8String()}, {"size", 123457}, {"seed", 8}})
                     .at("result")
                     .as_int64());
    auto ref = crossprocess::OpenPublishedData(peer.Session(), id);
    ASSERT_TRUE(ref);
    ASSERT_EQ(123457u, ref->GetSize());
    EXPECT_TRUE(CheckPattern(ref->GetData(), ref->GetSize(), 8));
    EXPECT_FALSE(crossprocess::OpenPublishedData(peer.Session(), Guid::CreateUnique()));

    // The peer ends the share; what we hold stays readable, new opens find nothing, and the
    // peer's block returns once we let go.
    peer.Call("unshare", {{"id", id.AsUTF8String()}});
    EXPECT_TRUE(Eventually([&] { return !crossprocess::OpenPublishedData(peer.Session(), id); }));
    EXPECT_TRUE(CheckPattern(ref->GetData(), ref->GetSize(), 8));
    ref.reset();
    EXPECT_TRUE(Eventually([&] { return peer.RemoteStats().blocksLeased == 0; }));

    // Once the session has ended, opens return at once.
    basetransport::SessionPtr const session = peer.Session();
    peer.Kill();
    ASSERT_TRUE(Eventually([&] { return session->IsClosed(); }));
    EXPECT_FALSE(crossprocess::OpenPublishedData(session, Guid::CreateUnique()));
    EXPECT_FALSE(crossprocess::OpenPublishedData(nullptr, Guid::CreateUnique()));
}

TEST_F(ShmSharing, FramesCrossBothWaysAndSharedFramesAreNotCopied) {
    // Peer to us: a frame made in a shared block, published for a request, wrapped in place.
    {
        Waiter waiter;
        Guid const id = Guid::CreateUnique();
        ASSERT_EQ(0, Request(id, waiter,
                             {{"mode", "frame"}, {"width", 33}, {"height", 17}, {"seed", 77}}));
        ASSERT_TRUE(waiter.Wait());
        InterfaceRef<Kino::IVideoFrame> frame;
        ASSERT_EQ(0, Pix::WrapVideoFrameAroundBinaryReference(waiter.Ref(), id, frame));
        EXPECT_EQ(192u, frame->GetRowBytes());  // 4 * 33 rounded up to 64
        EXPECT_EQ(static_cast<const std::uint8_t*>(waiter.Ref()->GetData()) + 64,
                  frame->GetPixels());
        EXPECT_TRUE(CheckPattern(frame->GetPixels(), frame->GetDataSize(), 77));
    }
    // Peer to us: a frame in the peer's own memory, copied once into a shared block.
    {
        Guid const id = Guid::CreateUnique();
        ASSERT_EQ(0,
                  peer.Call("shareframe",
                            {{"id", id.AsUTF8String()}, {"width", 64}, {"height", 8}, {"seed", 5}})
                      .at("result")
                      .as_int64());
        InterfaceRef<Kino::IVideoFrame> frame;
        ASSERT_EQ(0, Pix::OpenVideoFrame(peer.Session(), id, frame));
        EXPECT_EQ(64u, frame->GetWidth());
        EXPECT_TRUE(CheckPattern(frame->GetPixels(), frame->GetDataSize(), 5));
    }
    // Us to the peer: a shared frame goes without a copy (no new block).
    {
        crossprocess::WritableBinaryReferencePtr block;
        auto shared = Pix::CreateSharedVideoFrame(100, 10, Kino::kPixelFormat_2vuy, 0, {1, 1},
                                                  Kino::kFieldOrder_UpperFirst, block);
        ASSERT_TRUE(shared);
        FillPattern(shared->GetMutablePixels(), shared->GetDataSize(), 12);
        std::uint64_t const created = crossprocess::GetStats().segmentsCreated;
        Guid const id = Guid::CreateUnique();
        crossprocess::WritableBinaryReferencePtr ref;
        ASSERT_EQ(0, Pix::PublishVideoFrameProvidingReference(
                         InterfaceRef<Kino::IVideoFrame>(shared), id, ref));
        EXPECT_EQ(created, crossprocess::GetStats().segmentsCreated);
        EXPECT_EQ(block->GetData(), ref->GetData());
        json const opened = peer.Call("openframe", {{"id", id.AsUTF8String()}, {"seed", 12}});
        EXPECT_EQ(0, opened.at("result").as_int64());
        EXPECT_TRUE(opened.at("match").as_bool());
        // Letting go of the published reference ends the share, though the frame lives on.
        ref.reset();
        EXPECT_TRUE(Eventually([&] {
            return peer.Call("openframe", {{"id", id.AsUTF8String()}, {"seed", 12}})
                       .at("result")
                       .as_int64() != 0;
        }));
    }
    crossprocess::WritableBinaryReferencePtr none;
    EXPECT_LT(Pix::PublishVideoFrameProvidingReference({}, Guid::CreateUnique(), none), 0);
    EXPECT_FALSE(none);
}

}  // namespace
}  // namespace vireo::test::shm
