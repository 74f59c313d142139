#pragma once
// The ways an operation talks to the server:
//   S  synchronous: the caller waits at a two-party rendezvous that the handler joins;
//   A  asynchronous: the answer goes to the caller's callback (written per operation);
//   C  connection step: the caller waits at a gate that every handler path opens;
//   R  request whose answer is ignored;
//   N  notification.
// Without an RPC client nothing is sent and nothing waits.
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

#include "basekit/serialization/Variant.h"
#include "basekit/threads/SyncPoint.h"
#include "basemarshal/RPCClient.h"

namespace VireoClient {
namespace patterns {

using basekit::serialization::VariantPtr;
using RPCClientPtr = boost::shared_ptr<basemarshal::RPCClient>;

// Pattern S. `decode` runs on an RPC thread and reads the answer into the record; it may throw
// (a malformed answer), which the RPC client turns into an error answer, so the rendezvous is met
// on every path and the record keeps its default. Returns false, without waiting, when there is
// no RPC client.
template <class Record>
bool Synchronous(RPCClientPtr const& rpc, VariantPtr const& call, Record& record,
                 boost::function<void(VariantPtr const&, Record&)> const& decode) {
    if (!rpc) {
        return false;
    }
    basekit::threads::SyncPoint rendezvous(2);
    basemarshal::RPCClient::ResultHandler onResult = [&](VariantPtr const& answer, std::int64_t) {
        Record decoded = record;
        decode(answer, decoded);
        record = decoded;
        rendezvous.Wait();
    };
    basemarshal::RPCClient::ErrorHandler onError = [&](long, basekit::UTF16String const&,
                                                       std::int64_t) { rendezvous.Wait(); };
    rpc->SendRequest(call, onResult, onError, 0);
    rendezvous.Wait();
    return true;
}

// Pattern R.
inline void IgnoreAnswer(RPCClientPtr const& rpc, VariantPtr const& call) {
    if (!rpc) {
        return;
    }
    rpc->SendRequest(
        call, [](VariantPtr const&, std::int64_t) {},
        [](long, basekit::UTF16String const&, std::int64_t) {}, 0);
}

// Pattern N.
inline void Notify(RPCClientPtr const& rpc, VariantPtr const& call) {
    if (rpc) {
        rpc->SendNotification(call);
    }
}

// The argument array of a call.
inline basekit::serialization::VariantArray Arguments() {
    return {};
}
template <class... Rest>
basekit::serialization::VariantArray Arguments(VariantPtr first, Rest... rest) {
    basekit::serialization::VariantArray array{std::move(first), std::move(rest)...};
    return array;
}

}  // namespace patterns
}  // namespace VireoClient
