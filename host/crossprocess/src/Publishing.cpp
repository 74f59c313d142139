// The owner's side: publishing blocks to a session, the holds through which peers keep our
// blocks out of the pool until they release them, and the per-session limits on them.
#include "Counters.h"
#include "Messages.h"
#include "PartLock.h"
#include "Publisher.h"

namespace crossprocess {
namespace detail {

using basekit::utility::Guid;

boost::json::object Publisher::DescribeBlock(Guid const& id, Lease const& lease, std::uint64_t size,
                                             std::uint64_t pub) {
    boost::json::object params;
    params["id"] = id.AsUTF8String();
    params["block"] = lease.Segment().Name();
    params["offset"] = static_cast<std::uint64_t>(kBlockHeaderSize);
    params["size"] = size;
    params["pub"] = pub;
    return params;
}

std::uint64_t Publisher::AddHoldLocked(basetransport::SessionPtr const& session,
                                       LeasePtr const& lease, bool counted) {
    // The session-end observer drops a session's holds after IsClosed() turned true, under
    // this lock: a hold added while the session is open is always dropped by it.
    if (session->IsClosed()) {
        return 0;
    }
    std::int64_t const sid = session->GetID();
    std::uint64_t const pub = ++mNextPub;
    mHolds.emplace(pub, Hold{lease, sid, counted});
    if (counted) {
        Held& usage = mUsage[sid];
        if (usage.holdsPerBlock[lease.get()]++ == 0) {
            usage.bytes += lease->Capacity();
        }
    }
    return pub;
}

LeasePtr Publisher::RemoveHoldLocked(std::unordered_map<std::uint64_t, Hold>::iterator it) {
    LeasePtr lease = std::move(it->second.lease);
    if (it->second.counted) {
        auto usage = mUsage.find(it->second.sessionId);
        if (usage != mUsage.end()) {
            auto block = usage->second.holdsPerBlock.find(lease.get());
            if (block != usage->second.holdsPerBlock.end() && --block->second == 0) {
                usage->second.holdsPerBlock.erase(block);
                usage->second.bytes -= lease->Capacity();
            }
            if (usage->second.holdsPerBlock.empty()) {
                mUsage.erase(usage);
            }
        }
    }
    mHolds.erase(it);
    return lease;
}

long Publisher::CheckLimitsLocked(std::int64_t sessionId, LeasePtr const& lease) const {
    auto usage = mUsage.find(sessionId);
    std::uint64_t bytes = 0;
    std::uint64_t blocks = 0;
    if (usage != mUsage.end()) {
        if (usage->second.holdsPerBlock.count(lease.get()) != 0) {
            return 0;  // the peer holds this block already: it holds nothing more
        }
        bytes = usage->second.bytes;
        blocks = usage->second.holdsPerBlock.size();
    }
    if (mLimits.maxBytes != 0 &&
        lease->Capacity() > mLimits.maxBytes - std::min(bytes, mLimits.maxBytes)) {
        return kPublishSessionMemoryLimit;
    }
    if (mLimits.maxBlocks != 0 && blocks >= mLimits.maxBlocks) {
        return kPublishSessionBlockLimit;
    }
    return 0;
}

long Publisher::Publish(basetransport::SessionPtr const& session, Guid const& id,
                        WritableBinaryReferencePtr const& data, std::uint64_t size) {
    auto* ref = dynamic_cast<WritableRef*>(data.get());
    if (!session || !ref || size > ref->GetSize()) {
        return -1;
    }
    LeasePtr const lease = ref->GetLease();
    std::uint64_t pub = 0;
    {
        PartLock lock(mMutex);
        long const refused = CheckLimitsLocked(session->GetID(), lease);
        if (refused != 0) {
            return refused;  // nothing sent; the caller keeps its block
        }
        pub = AddHoldLocked(session, lease, true);
    }
    if (pub == 0) {
        return -1;
    }
    lease->AddReader(session);
    if (!session->SendMessage(msg::Make(msg::kPublished, DescribeBlock(id, *lease, size, pub)))) {
        LeasePtr dropped;  // let go of after the lock is released
        PartLock lock(mMutex);
        auto it = mHolds.find(pub);
        if (it != mHolds.end()) {
            dropped = RemoveHoldLocked(it);
        }
        return -1;
    }
    GetCounters().publications.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

long Publisher::PublishFailure(basetransport::SessionPtr const& session, Guid const& id,
                               long status) {
    if (!session) {
        return -1;
    }
    if (status >= 0 || status == kNotificationCancelled) {
        status = kStatusFailed;
    }
    boost::json::object params;
    params["id"] = id.AsUTF8String();
    params["status"] = static_cast<std::int64_t>(status);
    return session->SendMessage(msg::Make(msg::kFailed, std::move(params))) ? 0 : -1;
}

void Publisher::OnRelease(basetransport::SessionPtr const& session,
                          boost::json::object const& params) {
    std::uint64_t pub = 0;
    if (!msg::GetU64(params, "pub", pub)) {
        return;
    }
    LeasePtr released;  // back to the pool after the lock is released
    PartLock lock(mMutex);
    auto it = mHolds.find(pub);
    if (it != mHolds.end() && it->second.sessionId == session->GetID()) {
        released = RemoveHoldLocked(it);
        GetCounters().releasesReceived.fetch_add(1, std::memory_order_relaxed);
    }
}

SessionUsage Publisher::Usage(basetransport::SessionPtr const& session) {
    SessionUsage result;
    if (!session) {
        return result;
    }
    PartLock lock(mMutex);
    auto it = mUsage.find(session->GetID());
    if (it != mUsage.end()) {
        result.bytes = it->second.bytes;
        result.blocks = it->second.holdsPerBlock.size();
    }
    return result;
}

void Publisher::SetLimits(SessionLimits const& limits) {
    PartLock lock(mMutex);
    mLimits = limits;
}

void Publisher::OnPeerSpoke(basetransport::SessionPtr const& session) {
    PartLock lock(mMutex);
    if (!session->IsClosed()) {
        mActiveSessions.emplace(session->GetID(), session);
    }
}

void Publisher::OnSessionEnd(basetransport::SessionPtr const& session) {
    std::int64_t const sid = session->GetID();
    std::vector<LeasePtr> released;  // back to the pool after the lock is released
    PartLock lock(mMutex);
    for (auto it = mHolds.begin(); it != mHolds.end();) {
        if (it->second.sessionId == sid) {
            auto next = std::next(it);
            released.push_back(RemoveHoldLocked(it));
            it = next;
        } else {
            ++it;
        }
    }
    mUsage.erase(sid);
    for (auto& share : mShares) {
        share.second.readers.erase(sid);
    }
    mActiveSessions.erase(sid);
}

void Publisher::FillStats(Stats& stats) {
    PartLock lock(mMutex);
    stats.peerHolds = mHolds.size();
    stats.sharedIds = mShares.size();
}

}  // namespace detail
}  // namespace crossprocess
