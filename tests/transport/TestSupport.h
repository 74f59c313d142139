#pragma once
// Helpers shared by the transport tests: a connected server and client in this process, raw
// sockets for speaking the wire format by hand, and outcomes of RPC calls.
//
// Every test program of this folder uses a private folder of its own (a temporary directory
// named by CORVIDHOST_REGISTRY_DIR, set up before any test runs), inherited by its peers.
#include <gtest/gtest.h>

#include <boost/json/object.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TimeScale.h"
#include "basekit/serialization/Variant.h"
#include "basemarshal/RPCClient.h"
#include "basemarshal/RPCServer.h"
#include "basetransport/Session.h"
#include "basetransport/SocketTransport.h"

namespace vireo::test::transport {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// A bound for things that normally happen within milliseconds, scaled for slow runs.
inline Milliseconds Bound(Milliseconds limit = Milliseconds(5000)) {
    return Scaled(limit);
}

// What one request ended with; records every handler call so tests can count them.
class Outcome {
  public:
    basemarshal::RPCClient::ResultHandler ResultHandler();
    basemarshal::RPCClient::ErrorHandler ErrorHandler();
    // Waits until a handler has run; false on time-out (scaled).
    bool Wait(Milliseconds timeout = Milliseconds(5000));
    // Handlers run so far.
    int Handled();

    std::mutex mutex;
    std::condition_variable changed;
    int results = 0;
    int errors = 0;
    basekit::serialization::VariantPtr result;
    long code = 0;
    std::u16string message;
    std::thread::id handlerThread;
};

// One synchronous call; the outcome after at most `timeout`.
std::shared_ptr<Outcome> Call(basemarshal::RPCClient& client, char const* method,
                              boost::any const& params, Milliseconds timeout = Milliseconds(5000));

// A server transport with an RPCServer on every accepted session, and a client transport that
// knows its token.
class Loopback {
  public:
    explicit Loopback(std::string token = "secret-token");
    ~Loopback();

    basetransport::SessionPtr Connect();
    // Destroys both transports, which waits for their threads: every handler that was going to
    // run has run when this returns (a barrier before counting calls).
    void Stop();
    // The n-th accepted server session (waits for it).
    basetransport::SessionPtr ServerSession(std::size_t index);
    std::size_t SessionCount();

    std::string const token;
    boost::shared_ptr<basetransport::SocketTransport> serverTransport;
    boost::shared_ptr<basetransport::SocketTransport> clientTransport;
    basemarshal::RPCServer server;
    std::uint16_t port = 0;

  private:
    std::mutex mMutex;
    std::vector<basetransport::SessionPtr> mSessions;
};

// Registers the "Echo" method: answers {"value": params}.
void AddEcho(basemarshal::RPCServer& server);

// The file of the listener `port` in this program's private folder.
std::string ListenerFile(std::uint16_t port);

// The line of a transport.hello.
std::string Hello(std::string const& token, std::int64_t protocol);

// A connection to the listener `port` on a plain blocking socket.
class RawConnection {
  public:
    explicit RawConnection(std::uint16_t port);
    ~RawConnection();
    bool Send(std::string const& bytes);
    // One line (without the line feed); empty when the peer closed or nothing came in time.
    std::string ReadLine(Milliseconds timeout = Milliseconds(5000));
    // True when the peer closes the connection within `timeout`.
    bool WaitForClose(Milliseconds timeout = Milliseconds(5000));
    // Sends a transport.hello and returns the answer line.
    std::string Hello(std::string const& token, std::int64_t protocol);

    int fd = -1;
    int connectError = 0;  // errno of a connect that failed

  private:
    std::string mPending;
};

}  // namespace vireo::test::transport
