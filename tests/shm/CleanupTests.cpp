// Segments never outlive both processes; a warm pool creates none.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "Fixture.h"
#include "Pattern.h"
#include "Pix/Pix.h"
#include "Segment.h"

namespace vireo::test::shm {
namespace {

using basekit::utility::Guid;
using json = boost::json::object;

// Runs "shm_peer --leak n": it creates n blocks (with segment name prefix `prefix`, ours by
// default) and kills itself. Returns its (reaped) pid.
pid_t SpawnLeaker(int n, std::string const& prefix = TestPrefix()) {
    vireo::test::ChildProcess leaker({"env", "VIREO_SHM_PREFIX=" + prefix,
                                      SiblingExecutable("shm_peer"), "--leak", std::to_string(n)});
    pid_t const pid = leaker.Pid();
    leaker.CloseAndWait(WaitLimit());
    return pid;
}

// A segment named for this process but whose header names an earlier process with the same
// pid (another start time), as a reused pid would leave it.
std::string MakeReusedPidLeftover() {
    using namespace crossprocess::detail;
    std::uint8_t random[16];
    std::memcpy(random, Guid::CreateUnique().GetBytes().data(), sizeof(random));
    std::string const name = MakeSegmentName(getpid(), random);
    int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    if (fd < 0) {
        return {};
    }
    BlockHeader header{};
    header.magic = kBlockMagic;
    header.version = kBlockVersion;
    header.headerSize = kBlockHeaderSize;
    header.capacity = 4096;
    header.ownerPid = getpid();
    header.ownerStartTime = 1;
    bool const ok = ftruncate(fd, kBlockHeaderSize + 4096) == 0 &&
                    pwrite(fd, &header, sizeof(header), 0) == sizeof(header);
    close(fd);
    return ok ? name : std::string();
}

bool Exists(std::string const& name) {
    struct stat st {};
    return stat(("/dev/shm" + name).c_str(), &st) == 0;
}

// The start-up scan reclaims the segments of dead processes of our prefix only: another prefix
// belongs to other processes (another test, another setting), which judge their own.
TEST(ShmReclaim, LeftoversOfGoneProcessesOfOurPrefixAreReclaimedAtStartAndLiveOnesKept) {
    // Extra uninitializations do nothing: the next initialization is still the first.
    crossprocess::UninitializeClient();
    crossprocess::UninitializeClient();

    Peer live;
    ASSERT_TRUE(live.Start());
    Guid const shared = Guid::CreateUnique();
    ASSERT_EQ(0, live.Call("share", {{"id", shared.AsUTF8String()}, {"size", 1000}, {"seed", 1}})
                     .at("result")
                     .as_int64());
    auto const liveSegments = SegmentsOf(live.Pid());
    ASSERT_FALSE(liveSegments.empty());

    std::string const foreign = TestPrefix() + "x";
    pid_t const theirs = SpawnLeaker(2, foreign);
    pid_t const dead = SpawnLeaker(3);
    ASSERT_EQ(2u, SegmentsOf(theirs, foreign).size());
    ASSERT_EQ(3u, SegmentsOf(dead).size());
    std::string const reused = MakeReusedPidLeftover();
    ASSERT_FALSE(reused.empty());
    ASSERT_TRUE(Exists(reused));

    EXPECT_TRUE(crossprocess::InitializeClient());
    EXPECT_TRUE(SegmentsOf(dead).empty());
    EXPECT_FALSE(Exists(reused));
    EXPECT_EQ(liveSegments, SegmentsOf(live.Pid()));
    EXPECT_EQ(2u, SegmentsOf(theirs, foreign).size());
    for (auto const& name : SegmentsOf(theirs, foreign)) {
        shm_unlink(("/" + name).c_str());
    }

    // A leftover never blocks a new block.
    EXPECT_TRUE(crossprocess::CreateWritableReference(1000));
    crossprocess::UninitializeClient();
}

using ShmCleanup = WithPeer;

// The owner here has another segment name prefix than ours: its segments are read all the same,
// and reclaimed once it dies, whatever their prefix.
TEST_F(ShmCleanup, KilledOwnerLeavesNothingAndWhatWeHoldStaysReadable) {
    Peer other;
    std::string const foreign = TestPrefix() + "y";
    ASSERT_TRUE(other.Start(foreign));
    auto request = [&](Waiter& waiter, std::uint64_t size, std::uint64_t seed) {
        ASSERT_EQ(0, Request(Guid::CreateUnique(), waiter,
                             {{"mode", "data"}, {"size", size}, {"seed", seed}}, &other));
        ASSERT_TRUE(waiter.Wait());
        ASSERT_EQ(crossprocess::kStatusOK, waiter.Status());
        EXPECT_TRUE(CheckPattern(waiter.Ref()->GetData(), size, seed));
    };
    Waiter kept;
    request(kept, 200000, 5);
    Waiter dropped;
    request(dropped, 300000, 6);
    dropped.Reset();
    pid_t const pid = other.Pid();
    ASSERT_GE(SegmentsOf(pid, foreign).size(), 2u);
    EXPECT_TRUE(SegmentsOf(pid).empty());

    other.Kill();
    // Reclaimed once the peer is seen dead after its session ended, or at the latest by the
    // periodic scan (every 10 s).
    EXPECT_TRUE(
        Eventually([&] { return SegmentsOf(pid, foreign).empty(); }, std::chrono::seconds(15)));
    auto ref = kept.Ref();
    ASSERT_TRUE(ref);
    EXPECT_TRUE(CheckPattern(ref->GetData(), ref->GetSize(), 5));
}

TEST_F(ShmCleanup, KilledReaderGivesOurBlocksBack) {
    basetransport::SessionPtr const session = peer.Session();
    peer.OnWant([session](json const& want) {
        Guid const id(want.at("id").as_string().c_str());
        std::uint64_t const size = want.at("size").to_number<std::uint64_t>();
        auto ref = crossprocess::CreateWritableReference(size);
        FillPattern(ref->GetData(), size, want.at("seed").to_number<std::uint64_t>());
        crossprocess::PublishToSession(session, id, ref, size);
    });
    crossprocess::Stats const before = crossprocess::GetStats();
    Guid const id = Guid::CreateUnique();
    ASSERT_EQ(0, peer.Call("request", {{"id", id.AsUTF8String()}, {"size", 150000}, {"seed", 9}})
                     .at("result")
                     .as_int64());
    ASSERT_TRUE(peer.WaitReceived("got", 1));
    auto const got = peer.Received("got").front();
    EXPECT_EQ(0, got.at("status").as_int64());
    EXPECT_TRUE(got.at("match").as_bool());
    EXPECT_EQ(before.blocksLeased + 1, crossprocess::GetStats().blocksLeased);
    EXPECT_EQ(1u, crossprocess::GetStats().peerHolds);

    peer.Kill();
    EXPECT_TRUE(Eventually([&] {
        auto const now = crossprocess::GetStats();
        return now.blocksLeased == before.blocksLeased && now.peerHolds == 0;
    }));
    crossprocess::TrimIdleBlocks();
    EXPECT_TRUE(SegmentsOf(getpid()).empty());
}

TEST_F(ShmCleanup, ThousandWarmFramesCreateNoSegments) {
    // One frame at a time; each is given back before the next is asked for, so the count
    // below depends on reuse alone, not on how fast releases travel (bench/shm_frame measures
    // the pipelined case).
    auto frame = [&](std::uint64_t seed, bool check) {
        Waiter waiter;
        Guid const id = Guid::CreateUnique();
        ASSERT_EQ(0, Request(id, waiter,
                             {{"mode", "frame"}, {"width", 320}, {"height", 240}, {"seed", seed}}));
        ASSERT_TRUE(waiter.Wait());
        ASSERT_EQ(crossprocess::kStatusOK, waiter.Status());
        {
            InterfaceRef<Kino::IVideoFrame> wrapped;
            ASSERT_EQ(0, Pix::WrapVideoFrameAroundBinaryReference(waiter.Ref(), id, wrapped));
            if (check) {
                EXPECT_TRUE(CheckPattern(wrapped->GetPixels(), wrapped->GetDataSize(), seed));
            }
        }
        waiter.Reset();
        ASSERT_TRUE(Eventually([&] { return peer.RemoteStats().blocksLeased == 0; }));
    };
    for (std::uint64_t i = 0; i < 3; ++i) {
        frame(i, false);
    }
    std::uint64_t const created = peer.RemoteStats().segmentsCreated;
    std::uint64_t const mapped = crossprocess::GetStats().segmentsMapped;
    for (std::uint64_t i = 0; i < 1000; ++i) {
        frame(1000 + i, i % 250 == 0);
        if (HasFatalFailure()) {
            return;
        }
    }
    EXPECT_EQ(created, peer.RemoteStats().segmentsCreated);
    EXPECT_EQ(mapped, crossprocess::GetStats().segmentsMapped);

    // When the owner retires its idle blocks, we drop our mappings of them.
    ASSERT_GT(crossprocess::GetStats().cachedMappings, 0u);
    peer.Call("trim", {});
    EXPECT_TRUE(Eventually([] { return crossprocess::GetStats().cachedMappings == 0; }));
    EXPECT_TRUE(SegmentsOf(peer.Pid()).empty());
}

}  // namespace
}  // namespace vireo::test::shm
