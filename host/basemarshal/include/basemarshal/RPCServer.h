#pragma once
// Server-side JSON-RPC dispatch: a table from method name to handler, attached to sessions.
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

#include "basekit/serialization/Variant.h"
#include "basetransport/Session.h"

namespace basemarshal {

// JSON-RPC 2.0 error codes used by the server side.
constexpr long kErrorParse = -32700;
constexpr long kErrorInvalidRequest = -32600;
constexpr long kErrorMethodNotFound = -32601;
constexpr long kErrorInvalidParams = -32602;
constexpr long kErrorInternal = -32603;

// Answers one request, once, from any thread. For a notification every call does nothing.
// Dropping the last copy without answering sends kErrorInternal, so no client waits for ever.
class Responder {
  public:
    Responder();
    bool IsNotification() const;
    // Sends {"result": result}; the library's methods put their value under "value".
    void Reply(basekit::serialization::VariantPtr const& result) const;
    void Error(long code, std::string const& message) const;

    struct State;
    explicit Responder(boost::shared_ptr<State> state);

  private:
    boost::shared_ptr<State> mState;
};

class RPCServer {
  public:
    // Runs on a transport worker thread; may block or keep the Responder and answer later from
    // another thread. An exception escaping the handler becomes an kErrorInternal answer.
    using Handler = boost::function<void(basetransport::SessionPtr const& session,
                                         basekit::serialization::VariantPtr const& params,
                                         Responder const& responder)>;

    RPCServer();
    ~RPCServer();
    void AddMethod(std::string const& name, Handler handler);
    // Starts dispatching the session's messages. Unknown methods get kErrorMethodNotFound.
    void Attach(basetransport::SessionPtr const& session);

  private:
    struct Impl;
    boost::shared_ptr<Impl> mImpl;
};

}  // namespace basemarshal
