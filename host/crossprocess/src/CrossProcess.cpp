// The public functions of crossprocess, over the process's service and pool.
#include "crossprocess/CrossProcess.h"

#include <boost/make_shared.hpp>

#include "Pool.h"
#include "Service.h"
#include "crossprocess/Stats.h"

namespace crossprocess {

using detail::Service;

bool InitializeClient() {
    return Service::Instance().InitializeClient();
}

void UninitializeClient() {
    Service::Instance().UninitializeClient();
}

long GetBinaryDataWithAsyncNotification(basekit::utility::Guid const& id, DataHandler const& onData,
                                        boost::function<void()> const& start) {
    return Service::Instance().GetNotifications().Register(id, onData, start);
}

void CancelAllOutstandingNotifications(basekit::utility::Guid const& id, long /*reason*/) {
    Service::Instance().GetNotifications().Cancel(id);
}

WritableBinaryReferencePtr CreateWritableReference(std::uint64_t size) {
    Service::Instance();  // peers' releases must find the service listening
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
    return Service::Instance().GetPublisher().Publish(session, id, data, size);
}

long PublishFailureToSession(basetransport::SessionPtr const& session,
                             basekit::utility::Guid const& id, long status) {
    return Service::Instance().GetPublisher().PublishFailure(session, id, status);
}

SessionUsage GetSessionUsage(basetransport::SessionPtr const& session) {
    return Service::Instance().GetPublisher().Usage(session);
}

void SetSessionLimits(SessionLimits const& limits) {
    Service::Instance().GetPublisher().SetLimits(limits);
}

long Share(basekit::utility::Guid const& id, WritableBinaryReferencePtr const& data,
           std::uint64_t size) {
    return Service::Instance().GetPublisher().Share(id, data, size);
}

void Unshare(basekit::utility::Guid const& id) {
    Service::Instance().GetPublisher().Unshare(id);
}

BinaryReferencePtr OpenPublishedData(basetransport::SessionPtr const& session,
                                     basekit::utility::Guid const& id) {
    return Service::Instance().GetReader().Open(session, id);
}

Stats GetStats() {
    Stats stats;
    Service::Instance().FillStats(stats);
    return stats;
}

void TrimIdleBlocks() {
    detail::Pool::Instance().Trim(true);
}

}  // namespace crossprocess
