#pragma once
// Shared binary data between processes, named by Guid.
//
// Bytes live in shared-memory blocks that the publishing process keeps in a pool and reuses.
// Publishing sends a small "crossprocess." message over a session (see basetransport's
// extensions), so a notification keeps its order relative to RPC answers on that session.
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>

#include "basekit/utility/Guid.h"
#include "basetransport/Session.h"

namespace crossprocess {

// Status of a data notification: 0 data present; otherwise a failure.
constexpr long kStatusOK = 0;
constexpr long kNotificationCancelled = -6;  // withdrawn by CancelAllOutstandingNotifications
constexpr long kStatusPeerGone = -2;         // the session the request went out on ended
constexpr long kStatusFailed = -3;           // the publisher reported that the data cannot come
constexpr long kStatusCorrupt = -4;          // the block did not pass its checks

// Bytes that another process (or this one) made available. Read-only.
class BinaryReference {
public:
    virtual ~BinaryReference() = default;
    virtual std::uint64_t GetSize() const = 0;
    // Pointer to the bytes, valid until given back with ReleaseData (or the reference dies).
    virtual const void* GetData() = 0;
    virtual void ReleaseData(const void* data) = 0;
};

// Bytes this process publishes. The data stays readable by others while this reference lives.
class WritableBinaryReference {
public:
    virtual ~WritableBinaryReference() = default;
    virtual std::uint64_t GetSize() const = 0;
    virtual void* GetData() = 0;
};

using BinaryReferencePtr = boost::shared_ptr<BinaryReference>;
using WritableBinaryReferencePtr = boost::shared_ptr<WritableBinaryReference>;

// Per-process start and stop, counted; UninitializeClient on a count of 0 does nothing.
bool InitializeClient();
void UninitializeClient();

// Runs on a crossprocess thread, never inline on the registering thread.
using DataHandler =
    boost::function<void(basekit::utility::Guid const&, BinaryReferencePtr, long status)>;

// Registers interest in `id`, then runs `start` on the calling thread (it sends the request that
// makes the peer publish). onData is then called exactly once: with the reference and status 0
// when data is published under `id`, or with a failure status (the session `start` sent on ended,
// the publisher failed, the block is corrupt). A withdrawn notification is dropped (see
// CancelAllOutstandingNotifications). Returns 0 when registered, non-zero otherwise (then neither
// start nor onData runs).
long GetBinaryDataWithAsyncNotification(basekit::utility::Guid const& id,
                                        DataHandler const& onData,
                                        boost::function<void()> const& start);

// Withdraws every pending notification for `id`. A withdrawn notification is dropped, not
// delivered: its handler never runs, and data that arrives later for `id` is released unseen.
void CancelAllOutstandingNotifications(basekit::utility::Guid const& id, long reason);

// ---- Publishing ----------------------------------------------------------------------------

// A writable block of `size` bytes from this process's pool (no new segment once warm).
// Empty on failure.
WritableBinaryReferencePtr CreateWritableReference(std::uint64_t size);

// Publishes `data` (its first `size` bytes) under `id` to the peer of `session`; the peer's
// notification for `id` receives it. The block returns to the pool when both this reference and
// the peer's reference are gone. Returns 0 on success.
long PublishToSession(basetransport::SessionPtr const& session, basekit::utility::Guid const& id,
                      WritableBinaryReferencePtr const& data, std::uint64_t size);
// Tells the peer of `session` that the data for `id` will not come (its notification gets
// `status`, a negative value).
long PublishFailureToSession(basetransport::SessionPtr const& session,
                             basekit::utility::Guid const& id, long status);

// Makes `data` readable by other processes under `id` for as long as the caller holds `data`
// (or until Unshare). Peers open it with OpenPublishedData.
long Share(basekit::utility::Guid const& id, WritableBinaryReferencePtr const& data,
           std::uint64_t size);
void Unshare(basekit::utility::Guid const& id);
// Opens data that the peer of `session` shared under `id`. Empty when it is unknown.
// May block briefly (bounded) while it asks the peer.
BinaryReferencePtr OpenPublishedData(basetransport::SessionPtr const& session,
                                     basekit::utility::Guid const& id);

}  // namespace crossprocess
