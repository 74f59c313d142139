// The owner's side: publishing blocks to a session, sharing them under an id, and the holds
// through which peers keep our blocks out of the pool until they release them.
#include "Counters.h"
#include "Hub.h"
#include "HubLock.h"
#include "Messages.h"

namespace crossprocess {
namespace detail {

using basekit::utility::Guid;

namespace {

boost::json::object DescribeBlock(Guid const& id, LeasePtr const& lease, std::uint64_t size,
                                  std::uint64_t pub) {
    boost::json::object params;
    params["id"] = id.AsUTF8String();
    params["block"] = lease->Segment().Name();
    params["offset"] = static_cast<std::uint64_t>(kBlockHeaderSize);
    params["size"] = size;
    params["pub"] = pub;
    return params;
}

}  // namespace

WritableRef::~WritableRef() {
    if (mShared.load(std::memory_order_relaxed)) {
        Hub::Instance().UnshareAllOf(this);
    }
}

std::uint64_t Hub::AddHoldLocked(basetransport::SessionPtr const& session, LeasePtr const& lease) {
    // The session-end observer drops a session's holds after IsClosed() turned true, under
    // this lock: a hold added while the session is open is always dropped by it.
    if (session->IsClosed()) {
        return 0;
    }
    std::uint64_t const pub = ++mNextPub;
    mHolds.emplace(pub, Hold{lease, session->GetID()});
    return pub;
}

long Hub::Publish(basetransport::SessionPtr const& session, Guid const& id,
                  WritableBinaryReferencePtr const& data, std::uint64_t size) {
    auto* ref = dynamic_cast<WritableRef*>(data.get());
    if (!session || !ref || size > ref->GetSize()) {
        return -1;
    }
    LeasePtr const lease = ref->GetLease();
    lease->AddReader(session);
    std::uint64_t pub = 0;
    {
        Lock lock(mMutex);
        pub = AddHoldLocked(session, lease);
    }
    if (pub == 0) {
        return -1;
    }
    if (!session->SendMessage(msg::Make(msg::kPublished, DescribeBlock(id, lease, size, pub)))) {
        LeasePtr dropped;
        Lock lock(mMutex);
        auto it = mHolds.find(pub);
        if (it != mHolds.end()) {
            dropped = std::move(it->second.lease);
            mHolds.erase(it);
        }
        return -1;
    }
    GetCounters().publications.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

long Hub::PublishFailure(basetransport::SessionPtr const& session, Guid const& id, long status) {
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

void Hub::OnRelease(basetransport::SessionPtr const& session, boost::json::object const& params) {
    std::uint64_t pub = 0;
    if (!msg::GetU64(params, "pub", pub)) {
        return;
    }
    LeasePtr released;  // back to the pool after the lock is released
    Lock lock(mMutex);
    auto it = mHolds.find(pub);
    if (it != mHolds.end() && it->second.sessionId == session->GetID()) {
        released = std::move(it->second.lease);
        mHolds.erase(it);
        GetCounters().releasesReceived.fetch_add(1, std::memory_order_relaxed);
    }
}

long Hub::Share(Guid const& id, WritableBinaryReferencePtr const& data, std::uint64_t size) {
    auto* ref = dynamic_cast<WritableRef*>(data.get());
    if (!ref || size > ref->GetSize()) {
        return -1;
    }
    LeasePtr const lease = ref->GetLease();
    std::vector<std::pair<basetransport::SessionPtr, std::uint64_t>> told;
    {
        Lock lock(mMutex);
        if (mShares.count(id) != 0) {
            return -1;
        }
        ShareEntry entry{ref, lease, size, {}};
        // Peers known to speak this protocol hear of the share now, ahead of any call that
        // names it; others ask for it (open) when they need it.
        for (auto const& active : mActiveSessions) {
            basetransport::SessionPtr session = active.second.lock();
            if (!session) {
                continue;
            }
            std::uint64_t const pub = AddHoldLocked(session, lease);
            if (pub != 0) {
                entry.readers.emplace(active.first, std::make_pair(pub, SessionWeak(session)));
                told.emplace_back(std::move(session), pub);
            }
        }
        mShares.emplace(id, std::move(entry));
        ref->MarkShared();
    }
    for (auto const& peer : told) {
        lease->AddReader(peer.first);
        peer.first->SendMessage(
            msg::Make(msg::kShared, DescribeBlock(id, lease, size, peer.second)));
        // A send that fails means the session ended: its end drops the hold.
    }
    return 0;
}

void Hub::SendUnshared(Guid const& id, ShareEntry const& entry) {
    for (auto const& reader : entry.readers) {
        basetransport::SessionPtr session = reader.second.second.lock();
        if (session && !session->IsClosed()) {
            boost::json::object params;
            params["id"] = id.AsUTF8String();
            params["pub"] = reader.second.first;
            session->SendMessage(msg::Make(msg::kUnshared, std::move(params)));
        }
    }
}

void Hub::Unshare(Guid const& id) {
    std::vector<std::pair<Guid, ShareEntry>> ended;
    {
        Lock lock(mMutex);
        auto it = mShares.find(id);
        if (it == mShares.end()) {
            return;
        }
        ended.emplace_back(it->first, std::move(it->second));
        mShares.erase(it);
    }
    for (auto const& entry : ended) {
        SendUnshared(entry.first, entry.second);
    }
}

void Hub::UnshareAllOf(WritableRef const* owner) {
    std::vector<std::pair<Guid, ShareEntry>> ended;
    {
        Lock lock(mMutex);
        for (auto it = mShares.begin(); it != mShares.end();) {
            if (it->second.owner == owner) {
                ended.emplace_back(it->first, std::move(it->second));
                it = mShares.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto const& entry : ended) {
        SendUnshared(entry.first, entry.second);
    }
}

void Hub::OnOpen(basetransport::SessionPtr const& session, boost::json::object const& params) {
    Guid id;
    std::uint64_t req = 0;
    if (!msg::GetGuid(params, "id", id) || !msg::GetU64(params, "req", req)) {
        return;
    }
    std::int64_t const sid = session->GetID();
    LeasePtr lease;
    std::uint64_t pub = 0;
    std::uint64_t size = 0;
    {
        Lock lock(mMutex);
        auto it = mShares.find(id);
        if (it != mShares.end()) {
            auto reader = it->second.readers.find(sid);
            if (reader != it->second.readers.end()) {
                pub = reader->second.first;  // already told by "shared": same hold
            } else {
                pub = AddHoldLocked(session, it->second.lease);
                if (pub != 0) {
                    it->second.readers.emplace(sid, std::make_pair(pub, SessionWeak(session)));
                }
            }
            if (pub != 0) {
                lease = it->second.lease;
                size = it->second.size;
            }
        }
    }
    boost::json::object answer;
    if (lease) {
        lease->AddReader(session);
        answer = DescribeBlock(id, lease, size, pub);
    } else {
        answer["id"] = id.AsUTF8String();
    }
    answer["req"] = req;
    session->SendMessage(msg::Make(msg::kOpened, std::move(answer)));
}

}  // namespace detail
}  // namespace crossprocess
