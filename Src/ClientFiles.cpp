// The file services of the client: TrimMovie and GetExternalReferencesList. Both are
// asynchronous: the answer, or its failure, reaches the caller's callback exactly once on an RPC
// thread.
#include "RequestPatterns.h"
#include "VireoClientImpl.h"
#include "VireoRecords/FileRecordsWire.h"
#include "basekit/serialization/JSONConvert.h"

namespace VireoClient {

using basekit::serialization::BuildCall;
using basekit::serialization::ToVariant;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantPtr;

namespace {

// What the callback of a trim hears when the request ended with an error answer (or an answer
// that cannot be read); the error's own code and message are not passed on.
constexpr long kTrimRequestFailed = 5;

// The paths of an answer to "GetExternalReferencesList": {"value": {"inExternalFileList":
// [text, ...]}}. No "value" gives no paths; anything else of the wrong kind throws
// boost::bad_any_cast.
std::vector<basekit::UTF16String> ReadReferenceList(VariantPtr const& answer) {
    std::vector<basekit::UTF16String> paths;
    if (!answer) {
        return paths;
    }
    VariantPtr value = basekit::serialization::GetVariantInObject(*answer, "value");
    if (!value) {
        return paths;
    }
    basekit::serialization::ReadRequired(basekit::serialization::AsObject(*value),
                                         "inExternalFileList", paths);
    return paths;
}

}  // namespace

bool VireoClient::TrimMovie(VireoServer::TrimMovieParams const& params,
                            TrimCallback const& onDone) {
    auto rpc = TakeRPCClient();
    if (!rpc) {
        return false;
    }
    InterfaceRef<VireoClient, IVireoClient> self = GetClientRef();
    patterns::AnswerOnce<std::int32_t>(
        rpc, BuildCall("TrimMovie", VariantArray{ToVariant(params)}),
        [](VariantPtr const& answer) {
            // The low 32 bits of "value", as a signed number; 0 without one.
            std::int32_t code = 0;
            if (answer) {
                code = basekit::serialization::ReadValue<std::int32_t>(
                    basekit::serialization::AsObject(*answer), "value");
            }
            return code;
        },
        [self, onDone](std::int32_t const& code) { onDone(code); },
        [self, onDone] { onDone(kTrimRequestFailed); });
    return true;
}

bool VireoClient::GetExternalReferencesList(basekit::UTF16String const& moviePath,
                                            ReferenceListCallback const& onList) {
    auto rpc = TakeRPCClient();
    if (!rpc) {
        return false;
    }
    InterfaceRef<VireoClient, IVireoClient> self = GetClientRef();
    using List = std::vector<basekit::UTF16String>;
    patterns::AnswerOnce<List>(
        rpc, BuildCall("GetExternalReferencesList", VariantArray{ToVariant(moviePath)}),
        &ReadReferenceList, [self, onList](List const& paths) { onList(paths); },
        [self, onList] { onList(List()); });
    return true;
}

}  // namespace VireoClient
