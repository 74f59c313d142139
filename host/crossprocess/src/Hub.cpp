// The hub's start, message routing, session ends and housekeeping.
#include "Hub.h"

#include <unistd.h>

#include <chrono>

#include "Counters.h"
#include "Dispatcher.h"
#include "HubLock.h"
#include "Messages.h"
#include "basekit/utility/Process.h"
#include "basetransport/Extensions.h"

namespace crossprocess {
namespace detail {

namespace {
thread_local int tHubLockDepth = 0;
constexpr std::chrono::seconds kHousekeepingPeriod{10};
// When a session ends, its peer's leftovers are reclaimed as soon as the peer is seen dead.
constexpr int kReclaimDelaysMs[] = {0, 50, 250, 1000, 3000};
}  // namespace

bool HubLockHeld() {
    return tHubLockDepth > 0;
}

Hub::Lock::Lock(std::mutex& mutex) : mLock(mutex) {
    ++tHubLockDepth;
}
Hub::Lock::~Lock() {
    if (mLock.owns_lock()) {
        --tHubLockDepth;
    }
}

Hub& Hub::Instance() {
    // Never destroyed: transport threads may deliver messages while the process exits.
    static Hub* hub = [] {
        auto* created = new Hub;
        created->Start();
        return created;
    }();
    return *hub;
}

Hub::Hub() = default;

void Hub::Start() {
    basetransport::RegisterExtension(
        msg::kPrefix, [this](basetransport::SessionPtr const& session,
                             boost::json::object const& message) { OnMessage(session, message); });
    basetransport::AddSessionEndObserver(
        [this](basetransport::SessionPtr const& session) { OnSessionEnd(session); });
    Dispatcher::Instance().Post([this] { Housekeeping(); }, kHousekeepingPeriod);
}

bool Hub::InitializeClient() {
    bool first = false;
    {
        Lock lock(mMutex);
        first = mClientCount++ == 0;
    }
    if (first) {
        ReclaimLeftovers(0);
    }
    return true;
}

void Hub::UninitializeClient() {
    {
        Lock lock(mMutex);
        if (mClientCount == 0 || --mClientCount != 0) {
            return;
        }
    }
    Pool::Instance().Trim(true);
}

void Hub::OnMessage(basetransport::SessionPtr const& session, boost::json::object const& message) {
    if (!session) {
        return;
    }
    {
        Lock lock(mMutex);
        if (!session->IsClosed()) {
            mActiveSessions.emplace(session->GetID(), session);
        }
    }
    std::string const method = msg::Method(message);
    boost::json::object const* params = msg::Params(message);
    if (!params) {
        return;
    }
    if (method == msg::kPublished) {
        OnPublished(session, *params);
    } else if (method == msg::kFailed) {
        OnFailed(session, *params);
    } else if (method == msg::kRelease) {
        OnRelease(session, *params);
    } else if (method == msg::kRetire) {
        OnRetire(session, *params);
    } else if (method == msg::kShared) {
        OnShared(session, *params, false);
    } else if (method == msg::kOpened) {
        OnShared(session, *params, true);
    } else if (method == msg::kUnshared) {
        OnUnshared(session, *params);
    } else if (method == msg::kOpen) {
        OnOpen(session, *params);
    }
}

void Hub::OnSessionEnd(basetransport::SessionPtr const& session) {
    if (!session) {
        return;
    }
    std::int64_t const sid = session->GetID();
    std::vector<std::pair<basekit::utility::Guid, DataHandler>> gone;
    Graveyard graves;
    {
        Lock lock(mMutex);
        for (auto it = mRegistrations.begin(); it != mRegistrations.end();) {
            auto& list = it->second;
            for (auto reg = list.begin(); reg != list.end();) {
                if (!reg->binding && reg->sessionId == sid) {
                    gone.emplace_back(it->first, std::move(reg->handler));
                    reg = list.erase(reg);
                } else {
                    ++reg;
                }
            }
            it = list.empty() ? mRegistrations.erase(it) : std::next(it);
        }
        for (auto it = mHolds.begin(); it != mHolds.end();) {
            if (it->second.sessionId == sid) {
                graves.push_back(std::move(it->second.lease));
                it = mHolds.erase(it);
            } else {
                ++it;
            }
        }
        for (auto& share : mShares) {
            share.second.readers.erase(sid);
        }
        for (auto it = mReaderShares.lower_bound({sid, basekit::utility::Guid()});
             it != mReaderShares.end() && it->first.first == sid;) {
            graves.push_back(std::move(it->second.publication));
            it = mReaderShares.erase(it);
        }
        for (auto it = mMappings.lower_bound({sid, std::string()});
             it != mMappings.end() && it->first.first == sid;) {
            graves.push_back(std::move(it->second));
            it = mMappings.erase(it);
        }
        mTombstones.erase(sid);
        for (auto& open : mPendingOpens) {
            if (open.second.sessionId == sid) {
                open.second.done = true;
            }
        }
        mOpenAnswered.notify_all();
        mActiveSessions.erase(sid);
    }
    graves.clear();
    for (auto& entry : gone) {
        Deliver(entry.second, entry.first, BinaryReferencePtr(), kStatusPeerGone);
    }
    gone.clear();
    std::int64_t const peer = session->GetPeerProcessID();
    if (peer > 0 && peer != getpid()) {
        ScheduleReclaim(peer, 0);
    }
}

void Hub::ScheduleReclaim(std::int64_t pid, int attempt) {
    int const attempts = static_cast<int>(sizeof(kReclaimDelaysMs) / sizeof(kReclaimDelaysMs[0]));
    if (attempt >= attempts) {
        return;  // the peer lives on; the periodic scan covers it when it dies
    }
    Dispatcher::Instance().Post(
        [this, pid, attempt] {
            if (basekit::utility::IsProcessAlive(pid)) {
                ScheduleReclaim(pid, attempt + 1);
            } else {
                ReclaimLeftovers(pid);
            }
        },
        std::chrono::milliseconds(kReclaimDelaysMs[attempt]));
}

void Hub::Housekeeping() {
    ReclaimLeftovers(0);
    Pool::Instance().Trim(false);
    Dispatcher::Instance().Post([this] { Housekeeping(); }, kHousekeepingPeriod);
}

void NotifyRetired(std::string const& segmentName, ReaderList const& readers) {
    if (readers.empty()) {
        return;
    }
    Dispatcher::Instance().Post([segmentName, readers] {
        boost::json::object params;
        params["block"] = segmentName;
        boost::json::object const message = msg::Make(msg::kRetire, std::move(params));
        for (auto const& reader : readers) {
            basetransport::SessionPtr session = reader.second.lock();
            if (session && !session->IsClosed()) {
                session->SendMessage(message);
            }
        }
    });
}

void Hub::FillStats(Stats& stats) {
    Counters& c = GetCounters();
    stats.segmentsCreated = c.segmentsCreated.load();
    stats.segmentsRetired = c.segmentsRetired.load();
    stats.segmentsMapped = c.segmentsMapped.load();
    stats.segmentsUnmapped = c.segmentsUnmapped.load();
    stats.leftoversReclaimed = c.leftoversReclaimed.load();
    stats.publications = c.publications.load();
    stats.releasesReceived = c.releasesReceived.load();
    stats.unclaimedReleased = c.unclaimedReleased.load();
    stats.corruptRejected = c.corruptRejected.load();
    PoolCounts const pool = Pool::Instance().Counts();
    stats.blocksIdle = pool.idleBlocks;
    stats.bytesIdle = pool.idleBytes;
    stats.blocksLeased = pool.leasedBlocks;
    Lock lock(mMutex);
    stats.pendingNotifications = 0;
    for (auto const& entry : mRegistrations) {
        stats.pendingNotifications += entry.second.size();
    }
    stats.peerHolds = mHolds.size();
    stats.cachedMappings = mMappings.size();
    stats.sharedIds = mShares.size();
}

}  // namespace detail
}  // namespace crossprocess
