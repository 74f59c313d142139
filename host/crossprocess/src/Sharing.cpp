// The owner's side of sharing: data made readable under an id, told to the peers that speak
// crossprocess, opened by the others on request, and ended by Unshare or by the death of the
// writable reference it was made through.
#include "Messages.h"
#include "PartLock.h"
#include "Publisher.h"
#include "Service.h"

namespace crossprocess {
namespace detail {

using basekit::utility::Guid;

WritableRef::~WritableRef() {
    if (mShared.load(std::memory_order_relaxed)) {
        Service::Instance().GetPublisher().UnshareAllOf(this);
    }
}

long Publisher::Share(Guid const& id, WritableBinaryReferencePtr const& data, std::uint64_t size) {
    auto* ref = dynamic_cast<WritableRef*>(data.get());
    if (!ref || size > ref->GetSize()) {
        return -1;
    }
    LeasePtr const lease = ref->GetLease();
    std::vector<std::pair<basetransport::SessionPtr, std::uint64_t>> told;
    {
        PartLock lock(mMutex);
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
            std::uint64_t const pub = AddHoldLocked(session, lease, false);
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
            msg::Make(msg::kShared, DescribeBlock(id, *lease, size, peer.second)));
        // A send that fails means the session ended: its end drops the hold.
    }
    return 0;
}

void Publisher::SendUnshared(Guid const& id, ShareEntry const& entry) {
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

void Publisher::Unshare(Guid const& id) {
    std::vector<std::pair<Guid, ShareEntry>> ended;
    {
        PartLock lock(mMutex);
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

void Publisher::UnshareAllOf(WritableRef const* owner) {
    std::vector<std::pair<Guid, ShareEntry>> ended;
    {
        PartLock lock(mMutex);
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

void Publisher::OnOpen(basetransport::SessionPtr const& session,
                       boost::json::object const& params) {
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
        PartLock lock(mMutex);
        auto it = mShares.find(id);
        if (it != mShares.end()) {
            auto reader = it->second.readers.find(sid);
            if (reader != it->second.readers.end()) {
                pub = reader->second.first;  // already told by "shared": same hold
            } else {
                pub = AddHoldLocked(session, it->second.lease, false);
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
        answer = DescribeBlock(id, *lease, size, pub);
    } else {
        answer["id"] = id.AsUTF8String();
    }
    answer["req"] = req;
    session->SendMessage(msg::Make(msg::kOpened, std::move(answer)));
}

}  // namespace detail
}  // namespace crossprocess
