#pragma once
// The references crossprocess hands out: a peer's publication that this process reads, and a
// block of this process's pool that it writes.
#include <atomic>
#include <boost/weak_ptr.hpp>
#include <cstdint>
#include <memory>

#include "Pool.h"
#include "Segment.h"
#include "crossprocess/CrossProcess.h"

namespace crossprocess {
namespace detail {

using SessionWeak = boost::weak_ptr<basetransport::Session>;

// A peer's publication (or share) that this process holds. When the last holder lets go, the
// peer is told (release), so that its block can go back to its pool.
class ReaderPublication {
  public:
    ReaderPublication(std::shared_ptr<MappedSegment> segment, std::uint64_t offset,
                      std::uint64_t size, std::uint64_t pub,
                      basetransport::SessionPtr const& session)
        : mSegment(std::move(segment)),
          mOffset(offset),
          mSize(size),
          mPub(pub),
          mSession(session) {}
    // Sends the release (from the crossprocess thread when a part lock is held here).
    ~ReaderPublication();
    ReaderPublication(ReaderPublication const&) = delete;
    ReaderPublication& operator=(ReaderPublication const&) = delete;

    std::uint8_t const* Data() const { return mSegment->Base() + mOffset; }
    std::uint64_t Size() const { return mSize; }
    std::uint64_t Pub() const { return mPub; }
    // Another holder already stands for this publication: do not release it on destruction.
    void Disarm() { mArmed = false; }

  private:
    std::shared_ptr<MappedSegment> mSegment;
    std::uint64_t mOffset;
    std::uint64_t mSize;
    std::uint64_t mPub;
    SessionWeak mSession;
    bool mArmed = true;
};
using ReaderPublicationPtr = std::shared_ptr<ReaderPublication>;

class ReaderRef final : public BinaryReference {
  public:
    explicit ReaderRef(ReaderPublicationPtr publication) : mPublication(std::move(publication)) {}
    std::uint64_t GetSize() const override { return mPublication->Size(); }
    const void* GetData() override { return mPublication->Data(); }
    // The bytes stay mapped while this reference lives; the block goes back to its owner when
    // every reference to the publication is gone.
    void ReleaseData(const void*) override {}

  private:
    ReaderPublicationPtr mPublication;
};

class WritableRef final : public WritableBinaryReference {
  public:
    WritableRef(LeasePtr lease, std::uint64_t size) : mLease(std::move(lease)), mSize(size) {}
    // Ends the shares made through this reference.
    ~WritableRef() override;
    std::uint64_t GetSize() const override { return mSize; }
    void* GetData() override { return mLease->Data(); }

    LeasePtr const& GetLease() const { return mLease; }
    void MarkShared() { mShared.store(true, std::memory_order_relaxed); }

  private:
    LeasePtr mLease;
    std::uint64_t mSize;
    std::atomic<bool> mShared{false};
};

}  // namespace detail
}  // namespace crossprocess
