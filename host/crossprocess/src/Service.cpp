// The service's start, housekeeping, session ends and the end of the process.
#include "Service.h"

#include <unistd.h>

#include <chrono>

#include "Counters.h"
#include "Dispatcher.h"
#include "Messages.h"
#include "Pool.h"
#include "Segment.h"
#include "basekit/utility/Process.h"
#include "basetransport/Extensions.h"

namespace crossprocess {
namespace detail {

namespace {

constexpr std::chrono::seconds kHousekeepingPeriod{10};
// When a session ends, its peer's leftovers are reclaimed as soon as the peer is seen dead.
constexpr int kReclaimDelaysMs[] = {0, 50, 250, 1000, 3000};

// Runs when the library is unloaded or the process exits normally: the crossprocess thread
// ends (it runs code of this library), then every segment this process still owns is unlinked.
struct ExitGuard {
    ~ExitGuard() {
        Dispatcher::StopIfStarted();
        UnlinkAllOwnedSegments();
    }
};
ExitGuard gExitGuard;

}  // namespace

Service& Service::Instance() {
    static Service* service = [] {
        auto* created = new Service;
        created->Start();
        return created;
    }();
    return *service;
}

Service::Service() = default;

void Service::Start() {
    basetransport::RegisterExtension(msg::kPrefix, [this](basetransport::SessionPtr const& session,
                                                          boost::json::object const& message) {
        mRouter.OnMessage(session, message);
    });
    basetransport::AddSessionEndObserver(
        [this](basetransport::SessionPtr const& session) { OnSessionEnd(session); });
    Dispatcher::Instance().Post([this] { Housekeeping(); }, kHousekeepingPeriod);
}

bool Service::InitializeClient() {
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        first = mClientCount++ == 0;
    }
    if (first) {
        ReclaimLeftovers(0);
    }
    return true;
}

void Service::UninitializeClient() {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mClientCount == 0 || --mClientCount != 0) {
            return;
        }
    }
    Pool::Instance().Trim(true);
}

void Service::OnSessionEnd(basetransport::SessionPtr const& session) {
    if (!session) {
        return;
    }
    mRouter.OnSessionEnd(session);
    std::int64_t const peer = session->GetPeerProcessID();
    if (peer > 0 && peer != getpid()) {
        ScheduleReclaim(peer, 0);
    }
}

void Service::ScheduleReclaim(std::int64_t pid, int attempt) {
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

void Service::Housekeeping() {
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

void Service::FillStats(Stats& stats) {
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
    stats.pendingNotifications = mNotifications.Pending();
    mPublisher.FillStats(stats);
    mReader.FillStats(stats);
}

}  // namespace detail
}  // namespace crossprocess
