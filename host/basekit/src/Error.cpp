#include "basekit/config/Error.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "basekit/utility/Text.h"

namespace basekit {
namespace config {

namespace {

std::mutex& HandlerMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

ErrorHandler& InstalledHandler() {
    static ErrorHandler* handler = new ErrorHandler;
    return *handler;
}

void PrintError(Error const& error) {
    std::string line = "error (level " + std::to_string(error.GetLevel()) + ", " +
                       std::to_string(error.GetComponent()) + "/" +
                       std::to_string(error.GetCode()) + "): " + error.what() + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace

ReplacementValue::ReplacementValue(UTF16String const& text)
    : mPresent(true), mText(utility::UTF16to8(text)) {}

ReplacementValue::ReplacementValue(std::int64_t number)
    : mPresent(true), mText(std::to_string(number)) {}

ErrorHandler SetErrorHandler(ErrorHandler handler) {
    std::lock_guard<std::mutex> lock(HandlerMutex());
    ErrorHandler previous = InstalledHandler();
    InstalledHandler() = std::move(handler);
    return previous;
}

UTF8String FormatErrorMessage(const char* message, ReplacementValue const& r0,
                              ReplacementValue const& r1, ReplacementValue const& r2,
                              ReplacementValue const& r3) {
    UTF8String const whole = message == nullptr ? UTF8String() : UTF8String(message);
    UTF8String shown = whole;
    if (whole.compare(0, 4, "$$$/") == 0) {
        std::size_t const eq = whole.find('=');
        if (eq != UTF8String::npos) {
            shown = whole.substr(eq + 1);
        }
    }
    ReplacementValue const* values[4] = {&r0, &r1, &r2, &r3};
    UTF8String out;
    out.reserve(shown.size());
    for (std::size_t i = 0; i < shown.size(); ++i) {
        char const c = shown[i];
        if (c == '^' && i + 1 < shown.size()) {
            char const next = shown[i + 1];
            if (next == '^') {
                out += '^';
                ++i;
                continue;
            }
            if (next >= '0' && next <= '3' && values[next - '0']->IsPresent()) {
                out += values[next - '0']->GetText();
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

void ThrowError(ErrorLevel level, const char* message, unsigned long component, long code,
                bool report, ReplacementValue const& r0, ReplacementValue const& r1,
                ReplacementValue const& r2, ReplacementValue const& r3) {
    Error const error(level, message == nullptr ? UTF8String() : UTF8String(message),
                      FormatErrorMessage(message, r0, r1, r2, r3), component, code);
    if (report) {
        ErrorHandler handler;
        {
            std::lock_guard<std::mutex> lock(HandlerMutex());
            handler = InstalledHandler();
        }
        if (handler) {
            handler(error);
        } else {
            PrintError(error);
        }
    }
    throw error;
}

}  // namespace config
}  // namespace basekit
