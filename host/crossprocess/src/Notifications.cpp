// Data notifications: registration, binding to the session the request went out on, delivery
// of published data and failures, and withdrawal.
#include "Notifications.h"

#include <boost/make_shared.hpp>

#include "Counters.h"
#include "Dispatcher.h"
#include "Messages.h"
#include "PartLock.h"
#include "Reader.h"
#include "References.h"
#include "basekit/debug/Failure.h"
#include "basekit/threads/ThreadRole.h"

namespace crossprocess {
namespace detail {

using basekit::utility::Guid;

long Notifications::Register(Guid const& id, DataHandler const& onData,
                             boost::function<void()> const& start) {
    if (!onData) {
        return -1;
    }
    std::uint64_t token = 0;
    {
        PartLock lock(mMutex);
        token = ++mNextToken;
        mRegistrations[id].push_back(Registration{token, onData, 0, true});
    }

    // Only a send made by `start` itself may name the session of this request.
    basetransport::TakeLastSessionSentOnThisThread();
    if (start) {
        try {
            start();
        } catch (...) {
            // The caller gets the exception; the notification it would have had goes away.
            DataHandler const dropped = Withdraw(id, token);
            throw;
        }
    }
    basetransport::SessionPtr const session = basetransport::TakeLastSessionSentOnThisThread();

    DataHandler orphan;
    {
        PartLock lock(mMutex);
        auto it = mRegistrations.find(id);
        if (it == mRegistrations.end()) {
            return 0;  // already completed by data or a failure, or withdrawn
        }
        auto reg = it->second.begin();
        while (reg != it->second.end() && reg->token != token) {
            ++reg;
        }
        if (reg == it->second.end()) {
            return 0;
        }
        // The session-end observer runs only after IsClosed() turned true and takes this lock:
        // either it finds this binding, or this check sees the session closed.
        if (session && !session->IsClosed()) {
            reg->sessionId = session->GetID();
            reg->binding = false;
            return 0;
        }
        // No request went out, or its session is already gone: the data can never come.
        orphan = std::move(reg->handler);
        it->second.erase(reg);
        if (it->second.empty()) {
            mRegistrations.erase(it);
        }
    }
    Dispatcher::Instance().Post(
        [orphan, id] { Deliver(orphan, id, BinaryReferencePtr(), kStatusPeerGone); });
    return 0;
}

DataHandler Notifications::Withdraw(Guid const& id, std::uint64_t token) {
    DataHandler withdrawn;
    PartLock lock(mMutex);
    auto it = mRegistrations.find(id);
    if (it == mRegistrations.end()) {
        return withdrawn;
    }
    for (auto reg = it->second.begin(); reg != it->second.end(); ++reg) {
        if (reg->token == token) {
            withdrawn = std::move(reg->handler);
            it->second.erase(reg);
            break;
        }
    }
    if (it->second.empty()) {
        mRegistrations.erase(it);
    }
    return withdrawn;  // destroyed by the caller, outside the lock
}

void Notifications::Cancel(Guid const& id) {
    std::deque<Registration> withdrawn;  // destroyed after the lock is released
    PartLock lock(mMutex);
    auto it = mRegistrations.find(id);
    if (it != mRegistrations.end()) {
        withdrawn.swap(it->second);
        mRegistrations.erase(it);
    }
}

DataHandler Notifications::Claim(Guid const& id, std::int64_t sessionId) {
    PartLock lock(mMutex);
    auto it = mRegistrations.find(id);
    if (it == mRegistrations.end()) {
        return DataHandler();
    }
    for (auto reg = it->second.begin(); reg != it->second.end(); ++reg) {
        if (reg->binding || reg->sessionId == sessionId) {
            DataHandler handler = std::move(reg->handler);
            it->second.erase(reg);
            if (it->second.empty()) {
                mRegistrations.erase(it);
            }
            return handler;
        }
    }
    return DataHandler();
}

void Notifications::Deliver(DataHandler const& handler, Guid const& id,
                            BinaryReferencePtr const& ref, long status) {
    basekit::threads::ScopedThreadRole role(basekit::threads::ThreadRole::kSharedData);
    try {
        handler(id, ref, status);
    } catch (...) {
        // The handler's failure is its own; the thread that delivered it must go on.
        BASEKIT_REPORT_CAUGHT("running a data notification handler");
    }
}

void Notifications::OnPublished(basetransport::SessionPtr const& session,
                                boost::json::object const& params) {
    Guid id;
    std::string block;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t pub = 0;
    bool const hasPub = msg::GetU64(params, "pub", pub);
    bool const hasId = msg::GetGuid(params, "id", id);
    bool const complete = hasPub && hasId && msg::GetString(params, "block", block) &&
                          msg::GetU64(params, "offset", offset) &&
                          msg::GetU64(params, "size", size);

    DataHandler const handler = hasId ? Claim(id, session->GetID()) : DataHandler();
    if (!handler) {
        // Nobody waits (withdrawn, already completed, or never asked for): give it back.
        GetCounters().unclaimedReleased.fetch_add(1, std::memory_order_relaxed);
        if (hasPub) {
            msg::SendRelease(session, pub);
        }
        return;
    }
    std::shared_ptr<MappedSegment> segment;
    long status = complete ? mReader.MappingFor(session, block, segment) : kStatusCorrupt;
    if (status == kStatusOK && !segment->Covers(offset, size)) {
        status = kStatusCorrupt;
    }
    if (status != kStatusOK) {
        if (status == kStatusCorrupt) {
            GetCounters().corruptRejected.fetch_add(1, std::memory_order_relaxed);
        }
        if (hasPub) {
            msg::SendRelease(session, pub);
        }
        Deliver(handler, id, BinaryReferencePtr(), status);
        return;
    }
    auto publication = std::make_shared<ReaderPublication>(segment, offset, size, pub, session);
    Deliver(handler, id, boost::make_shared<ReaderRef>(std::move(publication)), kStatusOK);
}

void Notifications::OnFailed(basetransport::SessionPtr const& session,
                             boost::json::object const& params) {
    Guid id;
    std::int64_t status = kStatusFailed;
    if (!msg::GetGuid(params, "id", id)) {
        return;
    }
    // A peer's status must read as a failure to the handler: never success, and never the
    // withdrawal code, which callers treat as "no answer needed".
    if (!msg::GetI64(params, "status", status) || status >= 0 || status == kNotificationCancelled ||
        status < INT32_MIN) {
        status = kStatusFailed;
    }
    DataHandler const handler = Claim(id, session->GetID());
    if (handler) {
        Deliver(handler, id, BinaryReferencePtr(), static_cast<long>(status));
    }
}

void Notifications::OnSessionEnd(basetransport::SessionPtr const& session) {
    std::int64_t const sid = session->GetID();
    std::vector<std::pair<Guid, DataHandler>> gone;
    {
        PartLock lock(mMutex);
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
    }
    for (auto& entry : gone) {
        Deliver(entry.second, entry.first, BinaryReferencePtr(), kStatusPeerGone);
    }
}

std::uint64_t Notifications::Pending() {
    PartLock lock(mMutex);
    std::uint64_t pending = 0;
    for (auto const& entry : mRegistrations) {
        pending += entry.second.size();
    }
    return pending;
}

}  // namespace detail
}  // namespace crossprocess
