#include "basekit/debug/Debug.h"

#include "basekit/utility/Parse.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>

namespace basekit {
namespace debug {

namespace {

// Guards the handler and every call site's ignore flag. Never destroyed, so that reports made
// during static destruction still work.
std::mutex& ReportMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

ReportHandler& InstalledHandler() {
    static ReportHandler* handler = new ReportHandler;
    return *handler;
}

const char* OrEmpty(const char* text) {
    return text == nullptr ? "" : text;
}

bool PrintReport(Report const& report) {
    std::string line = OrEmpty(report.file);
    line += ':';
    line += std::to_string(report.line);
    line += ": ";
    line += report.function;
    switch (report.kind) {
        case ReportKind::kAssertion:
            line += ": assertion failed: ";
            break;
        case ReportKind::kContract:
            line += ": contract violated: ";
            break;
        case ReportKind::kFailure:
            line += ": failed while ";
            break;
    }
    line += report.condition;
    if (!report.message.empty()) {
        line += ": ";
        line += report.message;
    }
    // Strip the line ends that messages carry so that one report stays one line.
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    line += '\n';
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    return false;
}

bool MakeReport(ReportKind kind, bool& ignore, const char* condition, UTF8String const& message,
                const char* file, long line, const char* function, bool flag) {
    ReportHandler handler;
    {
        std::lock_guard<std::mutex> lock(ReportMutex());
        if (ignore) {
            return false;
        }
        handler = InstalledHandler();
    }
    bool ignoreFromNowOn = false;
    Report const report{kind, OrEmpty(condition), message, OrEmpty(file),
                        line, OrEmpty(function),  flag,    &ignoreFromNowOn};
    bool const breakRequested = handler ? handler(report) : PrintReport(report);
    if (ignoreFromNowOn) {
        std::lock_guard<std::mutex> lock(ReportMutex());
        ignore = true;
    }
    return breakRequested;
}

}  // namespace

ReportHandler SetReportHandler(ReportHandler handler) {
    std::lock_guard<std::mutex> lock(ReportMutex());
    ReportHandler previous = InstalledHandler();
    InstalledHandler() = std::move(handler);
    return previous;
}

bool BreakAfterAssertDialog(bool& ignore, const char* condition, UTF8String const& message,
                            const char* file, long line, const char* function, bool flag) {
    return MakeReport(ReportKind::kAssertion, ignore, condition, message, file, line, function,
                      flag);
}

bool BreakAfterContractDialog(bool& ignore, const char* condition, UTF8String const& message,
                              const char* file, long line, const char* function, bool flag) {
    return MakeReport(ReportKind::kContract, ignore, condition, message, file, line, function,
                      flag);
}

void ReportFailure(bool& ignore, const char* context, UTF8String const& message, const char* file,
                   long line, const char* function) {
    MakeReport(ReportKind::kFailure, ignore, context, message, file, line, function, false);
}

bool IsDebuggerAttached() {
    std::ifstream status("/proc/self/status");
    std::string line;
    static const std::string kTracer = "TracerPid:";
    while (std::getline(status, line)) {
        if (line.compare(0, kTracer.size(), kTracer) == 0) {
            return utility::ParseLeadingInt32(std::string_view(line).substr(kTracer.size())) != 0;
        }
    }
    return false;
}

void BreakIfRequested(bool requested) {
    if (requested && IsDebuggerAttached()) {
        std::raise(SIGTRAP);
    }
}

}  // namespace debug
}  // namespace basekit
