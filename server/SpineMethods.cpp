// The methods every client uses while it connects: presence of the media engine, the server's
// process id, the flush interval, and the importable file types (empty until the file services
// fill them). The codec catalogues are answered by the export methods (server/export).
#include <unistd.h>

#include <boost/any.hpp>

#include "Answers.h"
#include "Log.h"
#include "MethodGroups.h"
#include "basekit/serialization/JSONConvert.h"
#include "basekit/serialization/Variant.h"

namespace vireo::server {

namespace {

using basekit::serialization::MakeVariant;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantObject;
using basekit::serialization::VariantPtr;

}  // namespace

void RegisterSpineMethods(ServerContext& context) {
    auto& rpc = context.Rpc();

    bool const present = context.MediaLibrariesPresent();
    rpc.AddMethod("IsQuicktimePresent",
                  [present](basetransport::SessionPtr const&, VariantPtr const&,
                            basemarshal::Responder const& responder) {
                      responder.Reply(ValueAnswer(present));
                  });

    rpc.AddMethod("GetQTServerProcessID", [](basetransport::SessionPtr const&, VariantPtr const&,
                                             basemarshal::Responder const& responder) {
        responder.Reply(ValueAnswer(static_cast<std::uint64_t>(::getpid())));
    });

    // The client's preferred interval for flushing what an export has written. Stored for the
    // export methods; nothing in the server acts on it yet. Sent as a notification; a request
    // gets an empty result.
    ServerContext* const shared = &context;
    rpc.AddMethod(
        "SetQTFlushIterval", [shared](basetransport::SessionPtr const&, VariantPtr const& params,
                                      basemarshal::Responder const& responder) {
            VariantPtr interval = FirstArgument(params);
            if (!interval) {
                responder.Error(basemarshal::kErrorInvalidParams, "SetQTFlushIterval: no interval");
                return;
            }
            std::int32_t value;
            try {
                value = basekit::serialization::JSONConvert<std::int32_t>::FromJSON(*interval);
            } catch (boost::bad_any_cast const&) {
                responder.Error(basemarshal::kErrorInvalidParams,
                                "SetQTFlushIterval: the interval is not an integer");
                return;
            }
            shared->SetFlushInterval(value);
            Log("flush interval %d", value);
            responder.Reply(MakeVariant(VariantObject()));
        });
}

}  // namespace vireo::server
