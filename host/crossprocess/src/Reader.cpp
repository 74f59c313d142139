// The reader's side: cached mappings of peers' segments, publications we hold, and data that
// peers shared under an id.
#include "Reader.h"

#include <boost/make_shared.hpp>
#include <chrono>
#include <vector>

#include "Counters.h"
#include "Dispatcher.h"
#include "Messages.h"
#include "PartLock.h"

namespace crossprocess {
namespace detail {

using basekit::utility::Guid;

namespace {
// How long OpenPublishedData waits for the peer's answer; the end of the session ends it sooner.
constexpr std::chrono::seconds kOpenTimeout{5};
// Unmatched "unshared" notes kept per session (they only guard against reordering).
constexpr std::size_t kMaxTombstones = 256;
using Graveyard = std::vector<std::shared_ptr<void>>;
}  // namespace

ReaderPublication::~ReaderPublication() {
    if (!mArmed) {
        return;
    }
    basetransport::SessionPtr session = mSession.lock();
    if (!session || session->IsClosed()) {
        return;  // the owner reclaims everything it lent to a session when that session ends
    }
    if (PartLockHeld()) {
        // Never send under a part lock.
        std::uint64_t const pub = mPub;
        Dispatcher::Instance().Post([session, pub] { msg::SendRelease(session, pub); });
    } else {
        msg::SendRelease(session, mPub);
    }
}

long Reader::MappingFor(basetransport::SessionPtr const& session, std::string const& block,
                        std::shared_ptr<MappedSegment>& out) {
    if (block.empty() || block.size() > msg::kMaxBlockNameLength) {
        return kStatusCorrupt;
    }
    auto const key = std::make_pair(session->GetID(), block);
    {
        PartLock lock(mMutex);
        auto it = mMappings.find(key);
        if (it != mMappings.end()) {
            out = it->second;
            return kStatusOK;
        }
    }
    std::shared_ptr<MappedSegment> segment;
    long const status = MappedSegment::Open(block, session->GetPeerProcessID(), segment);
    if (status != kStatusOK) {
        return status;
    }
    PartLock lock(mMutex);
    if (session->IsClosed()) {
        out = segment;  // usable now, but not kept: the session's end already dropped its cache
        return kStatusOK;
    }
    out = mMappings.emplace(key, segment).first->second;
    return kStatusOK;
}

void Reader::OnRetire(basetransport::SessionPtr const& session, boost::json::object const& params) {
    std::string block;
    if (!msg::GetString(params, "block", block)) {
        return;
    }
    std::shared_ptr<MappedSegment> dropped;
    PartLock lock(mMutex);
    auto it = mMappings.find(std::make_pair(session->GetID(), block));
    if (it != mMappings.end()) {
        dropped = std::move(it->second);
        mMappings.erase(it);
    }
}

void Reader::AnsweredLocked(std::int64_t sid, std::uint64_t req) {
    auto it = mPendingOpens.find(req);
    if (it != mPendingOpens.end() && it->second.sessionId == sid) {
        it->second.done = true;
        mOpenAnswered.notify_all();
    }
}

void Reader::OnShared(basetransport::SessionPtr const& session, boost::json::object const& params,
                      bool isAnswer) {
    std::int64_t const sid = session->GetID();
    std::uint64_t req = 0;
    if (isAnswer && !msg::GetU64(params, "req", req)) {
        return;
    }
    Guid id;
    std::string block;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t pub = 0;
    bool const hasPub = msg::GetU64(params, "pub", pub);
    bool const complete =
        hasPub && msg::GetGuid(params, "id", id) && msg::GetString(params, "block", block) &&
        msg::GetU64(params, "offset", offset) && msg::GetU64(params, "size", size);
    auto answered = [&] {  // caller holds mMutex
        if (isAnswer) {
            AnsweredLocked(sid, req);
        }
    };
    if (!complete) {
        if (hasPub) {
            msg::SendRelease(session, pub);
        }
        PartLock lock(mMutex);
        answered();  // "unknown id", or a malformed answer: either way the wait is over
        return;
    }
    {
        PartLock lock(mMutex);
        auto it = mReaderShares.find(std::make_pair(sid, id));
        if (it != mReaderShares.end() && it->second.pub == pub) {
            answered();  // the push and the answer name the same hold
            return;
        }
    }
    std::shared_ptr<MappedSegment> segment;
    long status = MappingFor(session, block, segment);
    if (status == kStatusOK && !segment->Covers(offset, size)) {
        status = kStatusCorrupt;
    }
    if (status != kStatusOK) {
        if (status == kStatusCorrupt) {
            GetCounters().corruptRejected.fetch_add(1, std::memory_order_relaxed);
        }
        msg::SendRelease(session, pub);
        PartLock lock(mMutex);
        answered();
        return;
    }
    auto publication = std::make_shared<ReaderPublication>(segment, offset, size, pub, session);
    Graveyard graves;  // destroyed after the lock: releases are sent from there
    PartLock lock(mMutex);
    answered();
    auto tomb = mTombstones.find(sid);
    if (tomb != mTombstones.end()) {
        for (auto t = tomb->second.begin(); t != tomb->second.end(); ++t) {
            if (*t == pub) {  // the share already ended: give the hold back at once
                tomb->second.erase(t);
                graves.push_back(std::move(publication));
                return;
            }
        }
    }
    if (session->IsClosed()) {
        publication->Disarm();
        return;
    }
    ReaderShare& slot = mReaderShares[std::make_pair(sid, id)];
    if (slot.publication && slot.pub == pub) {
        publication->Disarm();  // raced with another message for the same hold
        return;
    }
    if (slot.publication) {
        graves.push_back(std::move(slot.publication));  // an earlier share of the same id
    }
    slot = ReaderShare{pub, std::move(publication)};
}

void Reader::OnUnshared(basetransport::SessionPtr const& session,
                        boost::json::object const& params) {
    Guid id;
    std::uint64_t pub = 0;
    if (!msg::GetGuid(params, "id", id) || !msg::GetU64(params, "pub", pub)) {
        return;
    }
    std::int64_t const sid = session->GetID();
    Graveyard graves;
    PartLock lock(mMutex);
    auto it = mReaderShares.find(std::make_pair(sid, id));
    if (it != mReaderShares.end() && it->second.pub == pub) {
        graves.push_back(std::move(it->second.publication));
        mReaderShares.erase(it);
        return;
    }
    if (session->IsClosed()) {
        return;
    }
    auto& tombs = mTombstones[sid];
    tombs.push_back(pub);
    if (tombs.size() > kMaxTombstones) {
        tombs.pop_front();
    }
}

BinaryReferencePtr Reader::Open(basetransport::SessionPtr const& session, Guid const& id) {
    if (!session) {
        return BinaryReferencePtr();
    }
    std::int64_t const sid = session->GetID();
    auto const key = std::make_pair(sid, id);
    std::uint64_t req = 0;
    {
        PartLock lock(mMutex);
        auto it = mReaderShares.find(key);
        if (it != mReaderShares.end()) {
            return boost::make_shared<ReaderRef>(it->second.publication);
        }
        if (session->IsClosed()) {
            return BinaryReferencePtr();
        }
        req = ++mNextRequest;
        mPendingOpens.emplace(req, PendingOpen{sid, false});
    }
    boost::json::object params;
    params["id"] = id.AsUTF8String();
    params["req"] = req;
    bool const sent = session->SendMessage(msg::Make(msg::kOpen, std::move(params)));

    PartLock lock(mMutex);
    if (sent) {
        auto const deadline = std::chrono::steady_clock::now() + kOpenTimeout;
        mOpenAnswered.wait_until(lock.Get(), deadline, [&] {
            auto it = mPendingOpens.find(req);
            return it == mPendingOpens.end() || it->second.done;
        });
    }
    mPendingOpens.erase(req);
    auto it = mReaderShares.find(key);
    if (it == mReaderShares.end()) {
        return BinaryReferencePtr();
    }
    return boost::make_shared<ReaderRef>(it->second.publication);
}

void Reader::OnSessionEnd(basetransport::SessionPtr const& session) {
    std::int64_t const sid = session->GetID();
    Graveyard graves;
    PartLock lock(mMutex);
    for (auto it = mReaderShares.lower_bound({sid, Guid()});
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
}

void Reader::FillStats(Stats& stats) {
    PartLock lock(mMutex);
    stats.cachedMappings = mMappings.size();
}

}  // namespace detail
}  // namespace crossprocess
