#pragma once
// Process-wide state shared by every transport: extensions, end observers, the last session
// each thread sent on, and session identifiers.
#include <boost/json/object.hpp>
#include <cstdint>

#include "basetransport/Extensions.h"
#include "basetransport/Session.h"

namespace basetransport {
namespace detail {

// The extension whose prefix starts the message's "method", or an empty handler.
ExtensionHandler FindExtension(boost::json::object const& message);
// Runs every session end observer once for `session` (exceptions swallowed).
void RunSessionEndObservers(SessionPtr const& session);
// Records `session` as the last one the calling thread sent on.
void SetLastSessionSentOnThisThread(SessionPtr const& session);
// A new identifier, unique within the process.
std::int64_t NextSessionID();

}  // namespace detail
}  // namespace basetransport
