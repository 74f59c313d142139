#include "Router.h"

#include <cstring>

#include "Messages.h"
#include "Notifications.h"
#include "Publisher.h"
#include "Reader.h"

namespace crossprocess {
namespace detail {

void Router::OnMessage(basetransport::SessionPtr const& session,
                       boost::json::object const& message) {
    if (!session) {
        return;
    }
    std::string const method = msg::Method(message);
    boost::json::object const* params = msg::Params(message);
    if (method.compare(0, std::strlen(msg::kPrefix), msg::kPrefix) != 0) {
        return;
    }
    mPublisher.OnPeerSpoke(session);
    if (!params) {
        return;
    }
    if (method == msg::kPublished) {
        mNotifications.OnPublished(session, *params);
    } else if (method == msg::kFailed) {
        mNotifications.OnFailed(session, *params);
    } else if (method == msg::kRelease) {
        mPublisher.OnRelease(session, *params);
    } else if (method == msg::kRetire) {
        mReader.OnRetire(session, *params);
    } else if (method == msg::kShared) {
        mReader.OnShared(session, *params, false);
    } else if (method == msg::kOpened) {
        mReader.OnShared(session, *params, true);
    } else if (method == msg::kUnshared) {
        mReader.OnUnshared(session, *params);
    } else if (method == msg::kOpen) {
        mPublisher.OnOpen(session, *params);
    }
}

void Router::OnSessionEnd(basetransport::SessionPtr const& session) {
    if (!session) {
        return;
    }
    // Each part drops what it keeps for the session. Holds and mappings go before the
    // notifications fail, so a handler that runs on the failure finds the session's blocks
    // already given back.
    mPublisher.OnSessionEnd(session);
    mReader.OnSessionEnd(session);
    mNotifications.OnSessionEnd(session);
}

}  // namespace detail
}  // namespace crossprocess
