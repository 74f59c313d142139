#include "basekit/debug/Failure.h"

#include <cstdio>

#include "basekit/debug/Debug.h"

namespace basekit {
namespace debug {

UTF8String ExceptionText(std::exception_ptr const& error) {
    if (!error) {
        return "no exception";
    }
    try {
        std::rethrow_exception(error);
    } catch (std::exception const& e) {
        return e.what();
    } catch (...) {  // the text of what was caught is the result: nothing is swallowed here
        return "unknown exception";
    }
}

UTF8String CurrentExceptionText() {
    return ExceptionText(std::current_exception());
}

void ReportCaught(bool& ignore, const char* context, const char* file, long line,
                  const char* function) noexcept {
    try {
        ReportFailure(ignore, context, CurrentExceptionText(), file, line, function);
    } catch (...) {
        // The report itself failed (a handler that throws, no memory): reporting must never
        // throw, so the last resort is one line on standard error.
        std::fprintf(stderr, "%s:%ld: %s: a failure caught while %s could not be reported\n", file,
                     line, function, context);
    }
}

}  // namespace debug
}  // namespace basekit
