#pragma once
// Routes the "crossprocess." messages of a session, and its end, to the part that handles them.
// Holds no state of its own.
#include <boost/json/object.hpp>

#include "basetransport/Session.h"

namespace crossprocess {
namespace detail {

class Notifications;
class Publisher;
class Reader;

class Router {
  public:
    Router(Notifications& notifications, Publisher& publisher, Reader& reader)
        : mNotifications(notifications), mPublisher(publisher), mReader(reader) {}

    // One message from the peer of `session`; runs on a transport thread (basetransport's
    // extension hook). A message whose method or params do not parse is ignored.
    void OnMessage(basetransport::SessionPtr const& session, boost::json::object const& message);
    // The end of `session`; runs on a transport thread (basetransport's session-end observer),
    // after IsClosed() turned true.
    void OnSessionEnd(basetransport::SessionPtr const& session);

  private:
    Notifications& mNotifications;
    Publisher& mPublisher;
    Reader& mReader;
};

}  // namespace detail
}  // namespace crossprocess
