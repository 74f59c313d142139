#pragma once
// JSON-RPC client over one session. Calls are variant trees built by
// basekit::serialization::BuildCall ({"method": text, "params": variant}).
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>

#include "basekit/Strings.h"
#include "basekit/serialization/Variant.h"
#include "basetransport/Session.h"

namespace basemarshal {

// Error codes the client makes up itself (JSON-RPC's own codes come from the server).
constexpr long kErrorSessionClosed = -32000;    // the session ended before the answer came
constexpr long kErrorMalformedAnswer = -32001;  // the result handler could not read the answer
constexpr long kErrorNotSent = -32002;          // the call could not be encoded or sent

class RPCClient {
  public:
    // Runs where the session delivers its messages (a transport worker, or a caller thread
    // waiting in Session::Lead), marked ThreadRole::kDelivery; never inside SendRequest.
    using ResultHandler =
        boost::function<void(basekit::serialization::VariantPtr const& result, std::int64_t)>;
    // Runs where the session delivers its messages (a transport worker, or a caller thread
    // waiting in Session::Lead), marked ThreadRole::kDelivery; never inside SendRequest.
    using ErrorHandler =
        boost::function<void(long code, basekit::UTF16String const& message, std::int64_t)>;

    RPCClient(basetransport::SessionPtr session, basekit::UTF16String const& name);
    ~RPCClient();  // stops using the session; requests in flight get kErrorSessionClosed
    RPCClient(RPCClient const&) = delete;
    RPCClient& operator=(RPCClient const&) = delete;

    // Returns at once. Later exactly one handler runs: onResult with the answer's result variant,
    // or onError with a code and message (error answer, session end, unsendable call). If
    // onResult throws, the answer is treated as an error answer: onError runs with
    // kErrorMalformedAnswer. No exception escapes to the transport. Returns the request id.
    std::int64_t SendRequest(basekit::serialization::VariantPtr const& call, ResultHandler onResult,
                             ErrorHandler onError, std::int64_t arg);

    // Sends the call as a notification: no answer, no handler.
    void SendNotification(basekit::serialization::VariantPtr const& call);

    basetransport::SessionPtr GetSession() const;

  private:
    struct Impl;
    boost::shared_ptr<Impl> mImpl;
};

}  // namespace basemarshal
