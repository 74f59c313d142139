#pragma once
// Reports of failed assertions and contracts, and the debugger break that may follow them.
//
// A report goes to the handler that the host installed with SetReportHandler; without one it is
// printed to standard error, one line:
//   "<file>:<line>: <function>: assertion failed: <condition>: <message>"
// ("contract violated" for contracts), and no break is asked for.
//
// The `ignore` flag belongs to the call site (usually a static bool there). When it is set the
// report is silent and asks for no break. A handler silences a site for the rest of the process
// by setting `*report.ignore = true`. The flag is read and written only inside the report
// functions, under their lock, so several threads may report from one site at once; callers
// need not (and, for thread safety, should not) test the flag themselves.
//
// The result of BreakAfterAssertDialog/BreakAfterContractDialog is the handler's answer: true
// asks for a debugger break. Callers break only when IsDebuggerAttached() is also true;
// BreakIfRequested does exactly that.
#include <boost/function.hpp>

#include "basekit/Strings.h"

namespace basekit {
namespace debug {

// kFailure: an error that was caught and not passed on (Failure.h).
enum class ReportKind { kAssertion, kContract, kFailure };

struct Report {
    ReportKind kind;
    const char* condition;  // never null (an empty text stands for a null one)
    UTF8String message;
    const char* file;  // never null
    long line;
    const char* function;  // never null
    bool flag;             // the call site's last argument, passed through unchanged
    // The handler sets *ignore = true to silence this call site from now on.
    bool* ignore;
};

// Runs on the thread that makes the report, without any lock of this module held; it may report
// again or replace the handler. Returns true to ask for a debugger break.
using ReportHandler = boost::function<bool(Report const& report)>;

// Installs `handler` (an empty one restores printing to standard error) and returns the handler
// that was installed before.
ReportHandler SetReportHandler(ReportHandler handler);

bool BreakAfterAssertDialog(bool& ignore, const char* condition, UTF8String const& message,
                            const char* file, long line, const char* function, bool flag);
bool BreakAfterContractDialog(bool& ignore, const char* condition, UTF8String const& message,
                              const char* file, long line, const char* function, bool flag);

// True when a tracer (debugger) is attached to this process (TracerPid in /proc/self/status).
bool IsDebuggerAttached();

// Reports a failure that was caught and not passed on (see Failure.h); never asks for a break.
void ReportFailure(bool& ignore, const char* context, UTF8String const& message, const char* file,
                   long line, const char* function);

// Raises SIGTRAP when `requested` is true and a debugger is attached; otherwise does nothing.
void BreakIfRequested(bool requested);

}  // namespace debug
}  // namespace basekit
