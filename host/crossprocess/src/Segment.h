#pragma once
// Shared-memory segments: naming, creation by the owner, read-only mapping by a reader, and the
// reclaiming of segments whose owner died.
//
// A segment is a POSIX shared-memory object named "/<prefix>-<owner pid>-<32 hex digits>",
// created with O_EXCL and mode 0600, its memory reserved in full. It starts with a BlockHeader;
// the data area starts at header.headerSize (one page) and holds header.capacity bytes.
//
// The prefix is "vireo", or the value of the environment variable VIREO_SHM_PREFIX when it is
// set and valid (1 to 16 characters of A-Z, a-z, 0-9, '_' and '.'), read once per process. A
// process creates, scans and reclaims only names of its own prefix (so test processes that
// each set their own never see each other's segments), but maps a peer's segment of any valid
// prefix (a peer started with another setting still works).
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace crossprocess {
namespace detail {

constexpr std::uint32_t kBlockMagic = 0x4D535256u;  // "VRSM" in memory order
constexpr std::uint32_t kBlockVersion = 1;
constexpr std::uint32_t kBlockHeaderSize = 4096;  // the data area starts page-aligned
constexpr char kDefaultSegmentPrefix[] = "vireo";
constexpr std::size_t kMaxSegmentPrefixLength = 16;
// The largest data area of a block: no pool makes a larger one, and no reader maps one.
constexpr std::uint64_t kMaxBlockCapacity = std::uint64_t{2} << 30;
// The largest header a reader accepts (owners write kBlockHeaderSize).
constexpr std::uint32_t kMaxBlockHeaderSize = 64u * 1024u;

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

// This process's segment name prefix (see above).
std::string const& SegmentPrefix();
// True for a valid prefix (see above).
bool IsValidSegmentPrefix(std::string const& prefix);

// "/<prefix>-<pid>-<hex>" with this process's prefix, for `pid` and 16 random bytes.
std::string MakeSegmentName(std::int64_t pid, std::uint8_t const (&random)[16]);
// Accepts "/<prefix>-<pid>-<32 lower-case hex>" or the same without the slash, for any valid
// prefix; gives the pid and, when asked, the prefix.
bool ParseSegmentName(std::string const& name, std::int64_t& pid, std::string* prefix = nullptr);
// As ParseSegmentName, for names of this process's own prefix only.
bool ParseOwnSegmentName(std::string const& name, std::int64_t& pid);

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

// A peer's segment mapped read-only, after its header passed every check. Only the header and
// the data area the header names are mapped (and populated), never more of the segment.
class MappedSegment {
  public:
    // Opens and maps `name`, which must be a segment of process `expectedPid` (0: any).
    // Returns 0, kStatusCorrupt for a bad name, owner, mode, header or size (a header and data
    // area larger than the limits above or than the segment, or a segment whose memory is not
    // reserved in full), kStatusFailed when it cannot be opened or mapped. Nothing is mapped
    // before every check passed.
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
// own. `onlyPid` 0 scans the names of this process's prefix, for every pid; otherwise the
// names of `onlyPid` (a peer seen dead) of any prefix. Returns the number unlinked.
std::size_t ReclaimLeftovers(std::int64_t onlyPid);

// Unlinks every segment this process still owns; used when the process or library goes away.
void UnlinkAllOwnedSegments();

}  // namespace detail
}  // namespace crossprocess
