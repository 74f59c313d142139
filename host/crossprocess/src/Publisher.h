#pragma once
// The owner's side: publishing blocks to a session, sharing them under an id, the holds through
// which peers keep our blocks out of the pool until they release them, and the per-session
// limits on what a peer may hold.
//
// State, under this part's own lock (PartLock.h): the holds by pub, the usage of each session,
// the limits, the shares by id, and the sessions whose peer speaks crossprocess.
#include <boost/json/object.hpp>
#include <cstdint>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "Pool.h"
#include "References.h"
#include "basekit/utility/Guid.h"
#include "crossprocess/CrossProcess.h"
#include "crossprocess/Stats.h"

namespace crossprocess {
namespace detail {

class Publisher {
  public:
    long Publish(basetransport::SessionPtr const& session, basekit::utility::Guid const& id,
                 WritableBinaryReferencePtr const& data, std::uint64_t size);
    long PublishFailure(basetransport::SessionPtr const& session, basekit::utility::Guid const& id,
                        long status);

    long Share(basekit::utility::Guid const& id, WritableBinaryReferencePtr const& data,
               std::uint64_t size);
    void Unshare(basekit::utility::Guid const& id);
    // Ends every share made through `owner` (which is being destroyed).
    void UnshareAllOf(WritableRef const* owner);

    SessionUsage Usage(basetransport::SessionPtr const& session);
    void SetLimits(SessionLimits const& limits);

    // Messages from the peer of `session`; run on transport threads.
    void OnRelease(basetransport::SessionPtr const& session, boost::json::object const& params);
    void OnOpen(basetransport::SessionPtr const& session, boost::json::object const& params);
    // The peer of `session` sent a crossprocess message: Share tells it of new shares at once.
    void OnPeerSpoke(basetransport::SessionPtr const& session);
    // Drops the session's holds (its blocks go back to the pool), usage and shares told.
    void OnSessionEnd(basetransport::SessionPtr const& session);

    void FillStats(Stats& stats);

  private:
    struct Hold {  // a peer may read one of our leases
        LeasePtr lease;
        std::int64_t sessionId;
        bool counted;  // a publication, counted in the session's usage (shares are not)
    };
    struct Held {  // what a session's peer holds of our publications
        std::uint64_t bytes = 0;
        std::map<Lease const*, std::uint64_t> holdsPerBlock;  // blocks = its size
    };
    struct ShareEntry {
        WritableRef const* owner;
        LeasePtr lease;
        std::uint64_t size;
        std::map<std::int64_t, std::pair<std::uint64_t, SessionWeak>> readers;  // -> pub
    };

    // Adds a hold of `lease` for the peer of `session`; 0 when the session is closed.
    std::uint64_t AddHoldLocked(basetransport::SessionPtr const& session, LeasePtr const& lease,
                                bool counted);
    // Takes hold `it` out, giving its room back; returns its lease (to be let go of unlocked).
    LeasePtr RemoveHoldLocked(std::unordered_map<std::uint64_t, Hold>::iterator it);
    // 0 when one more hold of `lease` keeps the peer of `sessionId` within the limits, else
    // the code of the limit it would pass.
    long CheckLimitsLocked(std::int64_t sessionId, LeasePtr const& lease) const;
    // The params of "published", "shared" and "opened" for `size` bytes of `lease`'s block.
    static boost::json::object DescribeBlock(basekit::utility::Guid const& id, Lease const& lease,
                                             std::uint64_t size, std::uint64_t pub);
    static void SendUnshared(basekit::utility::Guid const& id, ShareEntry const& entry);

    std::mutex mMutex;
    std::unordered_map<std::uint64_t, Hold> mHolds;
    std::uint64_t mNextPub = 0;
    std::map<std::int64_t, Held> mUsage;
    SessionLimits mLimits;
    std::map<basekit::utility::Guid, ShareEntry> mShares;
    std::map<std::int64_t, SessionWeak> mActiveSessions;
};

}  // namespace detail
}  // namespace crossprocess
