#pragma once
// Shared binary data between processes, named by Guid.
//
// Bytes live in shared-memory blocks that the publishing process keeps in a pool and reuses.
// Publishing sends a small "crossprocess." message over a session (see basetransport's
// extensions), so a notification keeps its order relative to RPC answers on that session.
// docs/shared-data.md describes the blocks, the messages and the cleanup of segments.
//
// Threads: every function may be called from any thread. Handlers run on transport threads
// (data and failures that arrive, the end of a session) or on the crossprocess thread
// (failures decided at registration); never inside the call that registered them. While a
// handler runs, its thread's role is basekit::threads::ThreadRole::kSharedData.
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

// Bytes that another process (or this one) made available. Read-only. The bytes stay mapped
// while the reference lives; the publisher gets its block back when every reference is gone.
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
// The first InitializeClient unlinks segments left by processes that are gone; the last
// UninitializeClient retires the idle blocks of the pool. The rest of the API also works
// without them (a server need not call them).
bool InitializeClient();
void UninitializeClient();

// A data notification's handler: the id, the reference (empty on failure) and the status.
// Runs on a transport or crossprocess thread, never inside the registering call.
using DataHandler =
    boost::function<void(basekit::utility::Guid const&, BinaryReferencePtr, long status)>;

// Registers interest in `id`, then runs `start` on the calling thread (it sends the request that
// makes the peer publish). onData is then called exactly once: with the reference and status 0
// when data is published under `id`, or with a failure status (the session `start` sent on ended,
// the publisher failed, the block is corrupt). A withdrawn notification is dropped (see
// CancelAllOutstandingNotifications). Returns 0 when registered, non-zero otherwise (then neither
// start nor onData runs): an empty onData is refused.
// The notification is bound to the session that `start` sent its last message on; when `start`
// sent nothing, or that session has already ended, onData gets kStatusPeerGone soon after, on
// the crossprocess thread. An exception thrown by `start` withdraws the notification and goes
// on to the caller. onData runs on a transport or crossprocess thread (see above); an exception
// escaping it is reported (BASEKIT_REPORT_CAUGHT) and goes no further.
long GetBinaryDataWithAsyncNotification(basekit::utility::Guid const& id, DataHandler const& onData,
                                        boost::function<void()> const& start);

// Withdraws every pending notification for `id`. A withdrawn notification is dropped, not
// delivered: its handler never runs, and data that arrives later for `id` is released unseen.
// (Delivering it with `reason` would let a caller that maps "withdrawn" to "nothing to report"
// complete a request as if it had succeeded.) A handler that has already started is not
// stopped. `reason` is accepted for the callers' sake and otherwise unused.
void CancelAllOutstandingNotifications(basekit::utility::Guid const& id, long reason);

// ---- Publishing ----------------------------------------------------------------------------

// Results of PublishToSession besides 0, when the peer of the session already holds as much as
// one session may (see SetSessionLimits): nothing is sent and the caller keeps its block.
constexpr long kPublishSessionMemoryLimit = -20;  // bytes held by the peer
constexpr long kPublishSessionBlockLimit = -21;   // blocks held by the peer

// What the peer of one session holds of ours: published blocks it has not released yet (not
// shares). `blocks` counts distinct blocks; `bytes` adds their capacities (the block's size
// class, which is what it keeps out of the pool). Releases and the end of the session give
// room back. Zero for an empty or ended session.
struct SessionUsage {
    std::uint64_t bytes = 0;
    std::uint64_t blocks = 0;
};
SessionUsage GetSessionUsage(basetransport::SessionPtr const& session);

// The most one session's peer may hold (0: no limit; both 0 by default), for every session of
// the process. Applies to publications made afterwards; bytes are checked before blocks.
struct SessionLimits {
    std::uint64_t maxBytes = 0;
    std::uint64_t maxBlocks = 0;
};
void SetSessionLimits(SessionLimits const& limits);

// A writable block of `size` bytes from this process's pool (no new segment once warm).
// Empty on failure.
WritableBinaryReferencePtr CreateWritableReference(std::uint64_t size);
// Another handle on the same block as `data` (one of ours), of the same size: the block lives
// while any handle does, and a Share made through this handle ends when this handle dies.
// Empty when `data` was not made by CreateWritableReference.
WritableBinaryReferencePtr CreateWritableAlias(WritableBinaryReferencePtr const& data);

// Publishes `data` (its first `size` bytes) under `id` to the peer of `session`; the peer's
// notification for `id` receives it. The block returns to the pool when both this reference and
// the peer's reference are gone. Returns 0 on success.
long PublishToSession(basetransport::SessionPtr const& session, basekit::utility::Guid const& id,
                      WritableBinaryReferencePtr const& data, std::uint64_t size);
// Tells the peer of `session` that the data for `id` will not come (its notification gets
// `status`; a status that is not negative, or kNotificationCancelled, is sent as kStatusFailed).
// The reader applies the same rule to what it receives.
long PublishFailureToSession(basetransport::SessionPtr const& session,
                             basekit::utility::Guid const& id, long status);

// Makes `data` readable by other processes under `id` for as long as the caller holds `data`
// (or until Unshare). Peers open it with OpenPublishedData. Peers that already exchange
// crossprocess messages with us hear of the share before Share returns (so before any call
// sent afterwards on the same session); others ask for it when they open it. Non-zero when
// `data` is not ours, `size` exceeds it, or `id` is already shared.
long Share(basekit::utility::Guid const& id, WritableBinaryReferencePtr const& data,
           std::uint64_t size);
void Unshare(basekit::utility::Guid const& id);
// Opens data that the peer of `session` shared under `id`. Empty when it is unknown.
// May block briefly while it asks the peer: until the answer, the end of the session, or
// 5 seconds at most. Call it from a thread that the answer does not need (a transport handler
// is fine: the transport keeps another thread reading).
BinaryReferencePtr OpenPublishedData(basetransport::SessionPtr const& session,
                                     basekit::utility::Guid const& id);

}  // namespace crossprocess
