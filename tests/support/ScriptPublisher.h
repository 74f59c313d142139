#pragma once
// The scripted server's data behaviours: bytes, frames and failures published through
// crossprocess to the calling session under the request identifier found in the call's params.
#include <boost/json/object.hpp>

#include "Script.h"
#include "basekit/serialization/Variant.h"
#include "basetransport/Session.h"

namespace vireo::test {

// Publishes what `publication` describes to the peer of `session`, on the calling thread, and
// then waits its afterMs. Returns a description of the outcome for the server's log:
// {"event": "publish", "session", "id", "kind", "status"} (status 0 = sent; -1 = no request
// identifier at idParam, or no shared block; otherwise the crossprocess result).
boost::json::object Publish(Publication const& publication,
                            basetransport::SessionPtr const& session,
                            basekit::serialization::VariantPtr const& params);

// The crossprocess counters of this process that tests look at: publications,
// releasesReceived, peerHolds, blocksLeased.
boost::json::object SharedDataCounters();

}  // namespace vireo::test
