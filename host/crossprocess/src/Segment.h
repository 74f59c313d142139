#pragma once
// Shared-memory segments: naming, creation by the owner, read-only mapping by a reader, and the
// reclaiming of segments whose owner died.
//
// A segment is a POSIX shared-memory object named "/vireo-<owner pid>-<32 hex digits>", created
// with O_EXCL and mode 0600. It starts with a BlockHeader; the data area starts at
// header.headerSize (one page) and holds header.capacity bytes.
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace crossprocess {
namespace detail {

constexpr std::uint32_t kBlockMagic = 0x4D535256u;  // "VRSM" in memory order
constexpr std::uint32_t kBlockVersion = 1;
constexpr std::uint32_t kBlockHeaderSize = 4096;  // the data area starts page-aligned
constexpr char kSegmentPrefix[] = "vireo-";

struct BlockHeader {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t headerSize;  // offset of the data area
    std::uint32_t flags;       // 0
    std::uint64_t capacity;    // bytes of the data area
    std::int64_t ownerPid;
    std::uint64_t ownerStartTime;  // start time of the owner (clock ticks since boot)
    std::uint8_t segmentId[16];    // the random part of the name
    std::uint64_t reserved;
};
static_assert(sizeof(BlockHeader) == 64, "the block header is part of the shared layout");

// "/vireo-<pid>-<hex>" for `pid` and 16 random bytes.
std::string MakeSegmentName(std::int64_t pid, std::uint8_t const (&random)[16]);
// Accepts "/vireo-<pid>-<32 hex>" or the same without the slash; gives the pid.
bool ParseSegmentName(std::string const& name, std::int64_t& pid);

// A segment this process created, mapped read-write. Destroying it unmaps and unlinks it.
class OwnedSegment {
  public:
    // A new segment whose data area holds at least `capacity` bytes, pages populated.
    // Empty on failure.
    static std::unique_ptr<OwnedSegment> Create(std::uint64_t capacity);
    ~OwnedSegment();
    OwnedSegment(OwnedSegment const&) = delete;
    OwnedSegment& operator=(OwnedSegment const&) = delete;

    std::string const& Name() const { return mName; }
    std::uint64_t Capacity() const { return mCapacity; }
    std::uint8_t* Data() const { return mBase + kBlockHeaderSize; }

  private:
    OwnedSegment(std::string name, std::uint8_t* base, std::size_t length, std::uint64_t capacity)
        : mName(std::move(name)), mBase(base), mLength(length), mCapacity(capacity) {}

    std::string mName;
    std::uint8_t* mBase;
    std::size_t mLength;
    std::uint64_t mCapacity;
};

// A peer's segment mapped read-only, after its header passed every check.
class MappedSegment {
  public:
    // Opens and maps `name`, which must be a segment of process `expectedPid` (0: any).
    // Returns 0, kStatusCorrupt for a bad name, header or size, kStatusFailed when it cannot
    // be opened.
    static long Open(std::string const& name, std::int64_t expectedPid,
                     std::shared_ptr<MappedSegment>& out);
    ~MappedSegment();
    MappedSegment(MappedSegment const&) = delete;
    MappedSegment& operator=(MappedSegment const&) = delete;

    // True when [offset, offset + size) lies in the data area and the segment still has its
    // mapped length (a segment that shrank would fault on access).
    bool Covers(std::uint64_t offset, std::uint64_t size) const;
    std::uint8_t const* Base() const { return mBase; }
    std::string const& Name() const { return mName; }

  private:
    MappedSegment(std::string name, int fd, std::uint8_t const* base, std::size_t length,
                  std::uint64_t dataBegin)
        : mName(std::move(name)), mFd(fd), mBase(base), mLength(length), mDataBegin(dataBegin) {}

    std::string mName;
    int mFd;
    std::uint8_t const* mBase;
    std::size_t mLength;
    std::uint64_t mDataBegin;
    std::uint64_t mDataEnd = 0;
};

// Unlinks segments left by processes that are gone: those whose pid is dead, those whose
// header names an earlier process with a reused pid, and (for our own pid) those we do not
// own. `onlyPid` 0 scans every pid. Returns the number unlinked.
std::size_t ReclaimLeftovers(std::int64_t onlyPid);

// Unlinks every segment this process still owns; used when the process or library goes away.
void UnlinkAllOwnedSegments();

}  // namespace detail
}  // namespace crossprocess
