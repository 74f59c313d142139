#pragma once
// The hub: this process's tables of notifications, publications, shares and peers' mappings,
// and the handlers of the "crossprocess." messages.
//
// Lock rules: one mutex (mMutex) guards every table. No handler of a caller, no send on a
// session and no wait runs under it, except the bounded wait of Open, which waits on the
// mutex's own condition. Pool, lease, dispatcher and segment-name locks are leaves, taken
// under mMutex but never the other way round. Handlers and start actions are destroyed outside
// mMutex (they may hold the last reference to a caller's object).
#include <atomic>
#include <boost/json/object.hpp>
#include <boost/weak_ptr.hpp>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Pool.h"
#include "Segment.h"
#include "crossprocess/CrossProcess.h"
#include "crossprocess/Stats.h"

namespace crossprocess {
namespace detail {

using SessionWeak = boost::weak_ptr<basetransport::Session>;

// True while this thread holds the hub's mutex.
bool HubLockHeld();

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

class Hub {
  public:
    // The process's hub; the first call registers the message extension and the session-end
    // observer with basetransport and starts the housekeeping.
    static Hub& Instance();

    bool InitializeClient();
    void UninitializeClient();

    long Register(basekit::utility::Guid const& id, DataHandler const& onData,
                  boost::function<void()> const& start);
    void Cancel(basekit::utility::Guid const& id);

    long Publish(basetransport::SessionPtr const& session, basekit::utility::Guid const& id,
                 WritableBinaryReferencePtr const& data, std::uint64_t size);
    long PublishFailure(basetransport::SessionPtr const& session, basekit::utility::Guid const& id,
                        long status);

    long Share(basekit::utility::Guid const& id, WritableBinaryReferencePtr const& data,
               std::uint64_t size);
    void Unshare(basekit::utility::Guid const& id);
    void UnshareAllOf(WritableRef const* owner);
    BinaryReferencePtr Open(basetransport::SessionPtr const& session,
                            basekit::utility::Guid const& id);

    void FillStats(Stats& stats);

    // Tells the peer of `session` that this process is done with its publication `pub`.
    static void SendRelease(basetransport::SessionPtr const& session, std::uint64_t pub);

  private:
    class Lock;
    struct Registration {
        std::uint64_t token;
        DataHandler handler;
        std::int64_t sessionId;  // the session the request went out on; 0 while start runs
        bool binding;
    };
    struct Hold {  // a peer may read one of our leases
        LeasePtr lease;
        std::int64_t sessionId;
    };
    struct ShareEntry {
        WritableRef const* owner;
        LeasePtr lease;
        std::uint64_t size;
        std::map<std::int64_t, std::pair<std::uint64_t, SessionWeak>> readers;  // -> pub
    };
    struct ReaderShare {
        std::uint64_t pub;
        ReaderPublicationPtr publication;
    };
    struct PendingOpen {
        std::int64_t sessionId;
        bool done;
    };
    using Graveyard = std::vector<std::shared_ptr<void>>;

    Hub();
    void Start();

    // Message handlers; run on transport threads.
    void OnMessage(basetransport::SessionPtr const& session, boost::json::object const& message);
    void OnPublished(basetransport::SessionPtr const& session, boost::json::object const& params);
    void OnFailed(basetransport::SessionPtr const& session, boost::json::object const& params);
    void OnRelease(basetransport::SessionPtr const& session, boost::json::object const& params);
    void OnRetire(basetransport::SessionPtr const& session, boost::json::object const& params);
    void OnShared(basetransport::SessionPtr const& session, boost::json::object const& params,
                  bool isAnswer);
    void OnUnshared(basetransport::SessionPtr const& session, boost::json::object const& params);
    void OnOpen(basetransport::SessionPtr const& session, boost::json::object const& params);
    void OnSessionEnd(basetransport::SessionPtr const& session);

    // Takes the first notification for `id` that data from `sessionId` may complete.
    DataHandler Claim(basekit::utility::Guid const& id, std::int64_t sessionId);
    // Maps (or finds the cached mapping of) a segment the peer of `session` named.
    long MappingFor(basetransport::SessionPtr const& session, std::string const& block,
                    std::shared_ptr<MappedSegment>& out);
    // Adds a hold of `lease` for the peer of `session`; 0 when the session is closed.
    // Caller holds mMutex.
    std::uint64_t AddHoldLocked(basetransport::SessionPtr const& session, LeasePtr const& lease);
    void SendUnshared(basekit::utility::Guid const& id, ShareEntry const& entry);
    static void Deliver(DataHandler const& handler, basekit::utility::Guid const& id,
                        BinaryReferencePtr const& ref, long status);
    void ScheduleReclaim(std::int64_t pid, int attempt);
    void Housekeeping();

    std::mutex mMutex;
    std::condition_variable mOpenAnswered;
    int mClientCount = 0;

    std::map<basekit::utility::Guid, std::deque<Registration>> mRegistrations;
    std::uint64_t mNextToken = 0;

    std::unordered_map<std::uint64_t, Hold> mHolds;
    std::uint64_t mNextPub = 0;
    std::map<basekit::utility::Guid, ShareEntry> mShares;

    std::map<std::pair<std::int64_t, basekit::utility::Guid>, ReaderShare> mReaderShares;
    // Pubs whose "unshared" overtook their "shared" or "opened", per session.
    std::map<std::int64_t, std::deque<std::uint64_t>> mTombstones;
    std::map<std::pair<std::int64_t, std::string>, std::shared_ptr<MappedSegment>> mMappings;
    std::map<std::uint64_t, PendingOpen> mPendingOpens;
    std::uint64_t mNextRequest = 0;
    // Sessions whose peer has sent us a "crossprocess." message: Share tells them at once.
    std::map<std::int64_t, SessionWeak> mActiveSessions;
};

}  // namespace detail
}  // namespace crossprocess
