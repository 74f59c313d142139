#pragma once
// Data notifications: registration, binding to the session the request went out on, delivery
// of published data and failures, withdrawal, and the end of the bound session.
//
// State: the registrations by id, under this part's own lock (PartLock.h).
#include <boost/function.hpp>
#include <boost/json/object.hpp>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>

#include "basekit/utility/Guid.h"
#include "crossprocess/CrossProcess.h"

namespace crossprocess {
namespace detail {

class Reader;

class Notifications {
  public:
    // Maps the blocks of "published" messages through `reader`.
    explicit Notifications(Reader& reader) : mReader(reader) {}

    // GetBinaryDataWithAsyncNotification and CancelAllOutstandingNotifications.
    long Register(basekit::utility::Guid const& id, DataHandler const& onData,
                  boost::function<void()> const& start);
    void Cancel(basekit::utility::Guid const& id);

    // "published" and "failed" from the peer of `session`; run on transport threads and
    // deliver there.
    void OnPublished(basetransport::SessionPtr const& session, boost::json::object const& params);
    void OnFailed(basetransport::SessionPtr const& session, boost::json::object const& params);
    // Fails every notification bound to `session` with kStatusPeerGone; runs on the transport
    // thread of the session-end observer and delivers there.
    void OnSessionEnd(basetransport::SessionPtr const& session);

    std::uint64_t Pending();

  private:
    struct Registration {
        std::uint64_t token;
        DataHandler handler;
        std::int64_t sessionId;  // the session the request went out on; 0 while start runs
        bool binding;
    };

    // Takes the first notification for `id` that data from `sessionId` may complete.
    DataHandler Claim(basekit::utility::Guid const& id, std::int64_t sessionId);
    // Takes the registration `token` of `id` out, if it is still there.
    DataHandler Withdraw(basekit::utility::Guid const& id, std::uint64_t token);
    // Runs `handler` marked as a shared-data thread; reports what escapes it.
    static void Deliver(DataHandler const& handler, basekit::utility::Guid const& id,
                        BinaryReferencePtr const& ref, long status);

    Reader& mReader;
    std::mutex mMutex;
    std::map<basekit::utility::Guid, std::deque<Registration>> mRegistrations;
    std::uint64_t mNextToken = 0;
};

}  // namespace detail
}  // namespace crossprocess
