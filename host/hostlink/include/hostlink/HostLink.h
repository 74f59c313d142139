#pragma once
// Finding or starting named server processes, and the process-wide socket transport.
//
// Servers register in the user's private folder (basetransport/LocalFolder.h:
// $CORVIDHOST_REGISTRY_DIR if set, else $XDG_RUNTIME_DIR/corvidhost, else <home>/.corvidhost;
// mode 0700), where their listening sockets are too. One entry per server name holds its process
// id, host, port and secret token, written atomically by the server once it listens and removed
// by it on exit; what servers and clients that died leave behind is removed by the next request.
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

#include "basekit/Strings.h"
#include "basetransport/SocketTransport.h"

namespace hostlinkmanager {
namespace serverregistry {

// Announces a server. Port 0 means that no server can be reached.
struct ServerConnection {
    basekit::UTF8String host;
    std::uint16_t port = 0;
    std::int64_t processID = 0;
};

}  // namespace serverregistry
}  // namespace hostlinkmanager

namespace hostlink {

using hostlinkmanager::serverregistry::ServerConnection;

// The process-wide transport. The tokens of servers found or started through
// CreateNamedServerConnection are given to it before the connection callback runs.
boost::shared_ptr<basetransport::SocketTransport> GetSharedTransport();

// Finds a live server registered under serverName (entry present, process alive, listening), or
// starts executablePath to be it (with CORVIDHOST_REGISTRY_DIR set to the registry, so that it
// listens and announces itself there). Two processes starting the same name at once get one server.
// Returns 0 when the executable cannot be started (missing, not executable); otherwise a non-zero
// ticket, and onConnection then runs exactly once on a hostlink thread: with the server's host
// and port, or with port 0 when the process exited or failed before announcing itself (or did not
// announce itself within a minute). instanceName is recorded in the entry.
// onConnection runs on a launch thread of hostlink (one per request, joined when a later request
// starts or at exit) while this process holds the server name's start-up lock (so that a shared
// server cannot retire between being found and being connected to): it should connect and
// return, and must not wait for another connection to the same name. A server that does not
// announce itself in time is killed. Returns 0 as well when the registry directory is unsafe.
using ConnectionCallback = boost::function<void(ServerConnection const&)>;
std::int64_t CreateNamedServerConnection(basekit::UTF16String const& serverName,
                                         basekit::UTF16String const& executablePath,
                                         basekit::UTF16String const& instanceName,
                                         ConnectionCallback onConnection);

// The registry directory in use (created with mode 0700 if missing); empty when there is none.
std::string RegistryDirectory();

}  // namespace hostlink
