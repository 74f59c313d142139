// The public functions of crossprocess, over the process's hub and pool.
#include "crossprocess/CrossProcess.h"

#include <boost/make_shared.hpp>

#include "Hub.h"
#include "Pool.h"
#include "crossprocess/Stats.h"

namespace crossprocess {

using detail::Hub;

bool InitializeClient() {
    return Hub::Instance().InitializeClient();
}

void UninitializeClient() {
    Hub::Instance().UninitializeClient();
}

long GetBinaryDataWithAsyncNotification(basekit::utility::Guid const& id, DataHandler const& onData,
                                        boost::function<void()> const& start) {
    return Hub::Instance().Register(id, onData, start);
}

void CancelAllOutstandingNotifications(basekit::utility::Guid const& id, long /*reason*/) {
    Hub::Instance().Cancel(id);
}

WritableBinaryReferencePtr CreateWritableReference(std::uint64_t size) {
    Hub::Instance();  // peers' releases must find the hub listening
    detail::LeasePtr lease = detail::Pool::Instance().Acquire(size);
    if (!lease) {
        return WritableBinaryReferencePtr();
    }
    return boost::make_shared<detail::WritableRef>(std::move(lease), size);
}

WritableBinaryReferencePtr CreateWritableAlias(WritableBinaryReferencePtr const& data) {
    auto* ref = dynamic_cast<detail::WritableRef*>(data.get());
    if (!ref) {
        return WritableBinaryReferencePtr();
    }
    return boost::make_shared<detail::WritableRef>(ref->GetLease(), ref->GetSize());
}

long PublishToSession(basetransport::SessionPtr const& session, basekit::utility::Guid const& id,
                      WritableBinaryReferencePtr const& data, std::uint64_t size) {
    return Hub::Instance().Publish(session, id, data, size);
}

long PublishFailureToSession(basetransport::SessionPtr const& session,
                             basekit::utility::Guid const& id, long status) {
    return Hub::Instance().PublishFailure(session, id, status);
}

long Share(basekit::utility::Guid const& id, WritableBinaryReferencePtr const& data,
           std::uint64_t size) {
    return Hub::Instance().Share(id, data, size);
}

void Unshare(basekit::utility::Guid const& id) {
    Hub::Instance().Unshare(id);
}

BinaryReferencePtr OpenPublishedData(basetransport::SessionPtr const& session,
                                     basekit::utility::Guid const& id) {
    return Hub::Instance().Open(session, id);
}

// Not enforced yet: no limit applies and usage is not counted.
SessionUsage GetSessionUsage(basetransport::SessionPtr const&) {
    return SessionUsage();
}

void SetSessionLimits(SessionLimits const&) {}

Stats GetStats() {
    Stats stats;
    Hub::Instance().FillStats(stats);
    return stats;
}

void TrimIdleBlocks() {
    detail::Pool::Instance().Trim(true);
}

}  // namespace crossprocess
