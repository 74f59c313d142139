#pragma once
// Process-wide hooks through which other host libraries share the sessions of every transport.
#include <boost/function.hpp>
#include <boost/json/object.hpp>
#include <cstdint>
#include <string>

#include "basetransport/Session.h"

namespace basetransport {

// Messages (notifications) whose "method" starts with `methodPrefix` go to `handler` instead of
// the session's message handler. Runs on a transport worker thread of the receiving session
// (marked ThreadRole::kDelivery); never on a caller leading the session (Session::Lead), which
// hands such messages on.
using ExtensionHandler = boost::function<void(SessionPtr const&, boost::json::object const&)>;
void RegisterExtension(std::string const& methodPrefix, ExtensionHandler handler);
void UnregisterExtension(std::string const& methodPrefix);

// Runs once for every session of any transport in this process that ends, on a transport
// thread, after the session's own close handlers.
using SessionEndObserverID = std::uint64_t;
SessionEndObserverID AddSessionEndObserver(boost::function<void(SessionPtr const&)> observer);
void RemoveSessionEndObserver(SessionEndObserverID id);

// Runs `task` later on a process-wide worker thread (the pool behind Session::Post for sessions
// without a transport of their own). Exceptions escaping the task are swallowed.
void PostToProcessWorkers(boost::function<void()> task);

}  // namespace basetransport
