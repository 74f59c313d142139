#pragma once
// The per-process pool of owned segments, by size class. A Lease hands one segment out; when
// the last holder of the lease (writable references, peers' holds) lets go, the segment goes
// back to the pool, hot and mapped, for the next publication of a similar size.
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Segment.h"
#include "basetransport/Session.h"

namespace crossprocess {
namespace detail {

// Smallest capacity of a class; sizes above it are rounded up to a quarter of their power of
// two (at most 25% slack).
constexpr std::uint64_t kMinClassSize = 64u * 1024u;
// Largest block the pool hands out.
constexpr std::uint64_t kMaxBlockSize = kMaxBlockCapacity;
// Idle blocks beyond these limits, or idle for longer than kMaxIdleAge, are retired.
constexpr std::uint64_t kMaxIdleBytes = 256u * 1024u * 1024u;
constexpr std::size_t kMaxIdlePerClass = 8;
constexpr std::chrono::seconds kMaxIdleAge{30};

std::uint64_t SizeClass(std::uint64_t size);

// Sessions whose peer was told about a segment, so that they can drop their mapping when the
// segment is retired.
using ReaderList = std::vector<std::pair<std::int64_t, boost::weak_ptr<basetransport::Session>>>;

class Lease {
  public:
    ~Lease();
    Lease(Lease const&) = delete;
    Lease& operator=(Lease const&) = delete;

    OwnedSegment& Segment() const { return *mSegment; }
    std::uint8_t* Data() const { return mSegment->Data(); }
    std::uint64_t Capacity() const { return mSegment->Capacity(); }
    // Remembers that the peer of `session` may map this segment.
    void AddReader(basetransport::SessionPtr const& session);

  private:
    friend class Pool;
    Lease(std::unique_ptr<OwnedSegment> segment, ReaderList readers)
        : mSegment(std::move(segment)), mReaders(std::move(readers)) {}

    std::unique_ptr<OwnedSegment> mSegment;
    std::mutex mMutex;  // guards mReaders
    ReaderList mReaders;
};

using LeasePtr = std::shared_ptr<Lease>;

struct PoolCounts {
    std::uint64_t idleBlocks = 0;
    std::uint64_t idleBytes = 0;
    std::uint64_t leasedBlocks = 0;
};

class Pool {
  public:
    static Pool& Instance();

    // A block whose data area holds at least `size` bytes; empty on failure.
    LeasePtr Acquire(std::uint64_t size);
    // Retires idle blocks: all of them, or those idle for longer than kMaxIdleAge.
    void Trim(bool everything);
    PoolCounts Counts();

  private:
    friend class Lease;
    struct Idle {
        std::unique_ptr<OwnedSegment> segment;
        ReaderList readers;
        std::chrono::steady_clock::time_point since;
    };

    void Return(std::unique_ptr<OwnedSegment> segment, ReaderList readers);
    // Takes the oldest idle blocks out while the limits are exceeded. Caller holds mMutex.
    void CollectExcess(std::vector<Idle>& retired);
    static void Retire(std::vector<Idle>& retired);

    std::mutex mMutex;
    std::map<std::uint64_t, std::vector<Idle>> mIdle;  // by capacity; oldest first
    std::uint64_t mIdleBytes = 0;
    std::uint64_t mIdleBlocks = 0;
    std::uint64_t mLeased = 0;
};

// Tells the readers of a retired segment to drop their mapping (implemented by the hub; runs
// the sending on the crossprocess thread, so it may be called under any lock).
void NotifyRetired(std::string const& segmentName, ReaderList const& readers);

}  // namespace detail
}  // namespace crossprocess
