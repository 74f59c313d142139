#pragma once
// The reader's side: cached mappings of peers' segments, and the data that peers shared under
// an id (told by "shared", or asked for with "open").
//
// State, under this part's own lock (PartLock.h): the mappings per session and block name, the
// shares told per session and id, the "unshared" notes that overtook their "shared", and the
// opens waiting for their answer.
#include <boost/json/object.hpp>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "References.h"
#include "Segment.h"
#include "basekit/utility/Guid.h"
#include "crossprocess/CrossProcess.h"
#include "crossprocess/Stats.h"

namespace crossprocess {
namespace detail {

class Reader {
  public:
    // Maps (or finds the cached mapping of) a segment that the peer of `session` named.
    // kStatusOK, kStatusCorrupt or kStatusFailed (see MappedSegment::Open).
    long MappingFor(basetransport::SessionPtr const& session, std::string const& block,
                    std::shared_ptr<MappedSegment>& out);

    // OpenPublishedData.
    BinaryReferencePtr Open(basetransport::SessionPtr const& session,
                            basekit::utility::Guid const& id);

    // Messages from the peer of `session`; run on transport threads.
    void OnRetire(basetransport::SessionPtr const& session, boost::json::object const& params);
    void OnShared(basetransport::SessionPtr const& session, boost::json::object const& params,
                  bool isAnswer);
    void OnUnshared(basetransport::SessionPtr const& session, boost::json::object const& params);
    // Drops the session's mappings and shares and ends the opens waiting on it.
    void OnSessionEnd(basetransport::SessionPtr const& session);

    void FillStats(Stats& stats);

  private:
    struct ReaderShare {
        std::uint64_t pub;
        ReaderPublicationPtr publication;
    };
    struct PendingOpen {
        std::int64_t sessionId;
        bool done;
    };
    // Ends the wait of open `req` of session `sid`, if it waits.
    void AnsweredLocked(std::int64_t sid, std::uint64_t req);

    std::mutex mMutex;
    std::condition_variable mOpenAnswered;
    std::map<std::pair<std::int64_t, basekit::utility::Guid>, ReaderShare> mReaderShares;
    // Pubs whose "unshared" overtook their "shared" or "opened", per session.
    std::map<std::int64_t, std::deque<std::uint64_t>> mTombstones;
    std::map<std::pair<std::int64_t, std::string>, std::shared_ptr<MappedSegment>> mMappings;
    std::map<std::uint64_t, PendingOpen> mPendingOpens;
    std::uint64_t mNextRequest = 0;
};

}  // namespace detail
}  // namespace crossprocess
