#include "RequestPatterns.h"

#include "basekit/debug/Debug.h"
#include "basekit/serialization/JSONConvert.h"
#include "basekit/threads/ThreadRole.h"

namespace VireoClient {
namespace patterns {

bool RefuseBlockingCall(bool& ignore, const char* operation, const char* file, long line) {
    if (!basekit::threads::IsHandlerThread()) {
        return false;
    }
    basekit::UTF8String message = operation;
    message +=
        " blocks until a handler has run, so it is never called on a thread that runs handlers "
        "(RPC answers or data notifications); it fails at once instead";
    basekit::debug::BreakIfRequested(basekit::debug::BreakAfterContractDialog(
        ignore, "!basekit::threads::IsHandlerThread()", message, file, line, operation, true));
    return true;
}

bool ReadAnswerCode(VariantPtr const& answer, std::int32_t& code) noexcept {
    try {
        code = answer ? basekit::serialization::ReadValue<std::int32_t>(
                            basekit::serialization::AsObject(*answer), "value")
                      : 0;
        return true;
    } catch (...) {
        BASEKIT_REPORT_CAUGHT("reading the code an answer carries");
        return false;
    }
}

}  // namespace patterns
}  // namespace VireoClient
