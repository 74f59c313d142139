#pragma once
// Failures that code catches and does not pass on. Every such catch hands the failure to the
// report service (Debug.h) with the place it was caught, so that no error disappears silently:
//
//   try { ... } catch (...) { BASEKIT_REPORT_CAUGHT("delivering an answer"); }
//
// The report is of kind kFailure; its condition is the context text and its message the text of
// the exception being handled. Each call site has its own ignore flag, so a report handler can
// silence one noisy site. Reporting never throws.
#include <exception>

#include "basekit/Strings.h"

namespace basekit {
namespace debug {

// The text of `error`: what() of a std::exception, otherwise "unknown exception". An empty
// pointer gives "no exception".
UTF8String ExceptionText(std::exception_ptr const& error);
// The text of the exception being handled, or "no exception" outside a handler.
UTF8String CurrentExceptionText();

// Reports the exception being handled as caught at file:line in function, with `context` saying
// what was being done. Never throws.
void ReportCaught(bool& ignore, const char* context, const char* file, long line,
                  const char* function) noexcept;

}  // namespace debug
}  // namespace basekit

#define BASEKIT_REPORT_CAUGHT(context)                                                      \
    do {                                                                                    \
        static bool basekitReportIgnore_ = false;                                           \
        ::basekit::debug::ReportCaught(basekitReportIgnore_, (context), __FILE__, __LINE__, \
                                       __func__);                                           \
    } while (false)
