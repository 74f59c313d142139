#pragma once
// Errors raised by the host libraries: ThrowError reports an error and throws it.
//
// A message is either plain text or a localisable entry "$$$/<path>=<text>"; the text after the
// first '=' is what is shown (the whole message when it has no such prefix). In the shown text
// "^0" to "^3" are replaced by the replacement values 0 to 3 (an absent value leaves the marker
// as it is) and "^^" stands for one '^'.
//
// ThrowError never returns. When `report` is true it first hands the error to the error handler
// installed with SetErrorHandler (by default: one line on standard error), then throws a
// config::Error carrying the shown text (what()), the message key, the level and the two
// numbers. The two numbers identify the error for the host: `component` is the reporting
// component's number and `code` the error's number within it.
#include <boost/function.hpp>
#include <cstdint>
#include <stdexcept>

#include "basekit/Strings.h"

namespace basekit {
namespace config {

enum ErrorLevel : int {
    kErrorLevelError = 0,    // the operation failed
    kErrorLevelWarning = 1,  // the operation went on with a fallback
    kErrorLevelInfo = 2,     // nothing failed; for information only
};

// One value substituted into a message; default-constructed it is absent.
class ReplacementValue {
  public:
    ReplacementValue() = default;
    ReplacementValue(const char* text) : mPresent(text != nullptr), mText(text ? text : "") {}
    ReplacementValue(UTF8String text) : mPresent(true), mText(std::move(text)) {}
    ReplacementValue(UTF16String const& text);
    ReplacementValue(std::int64_t number);
    ReplacementValue(int number) : ReplacementValue(static_cast<std::int64_t>(number)) {}

    bool IsPresent() const noexcept { return mPresent; }
    UTF8String const& GetText() const noexcept { return mText; }

  private:
    bool mPresent = false;
    UTF8String mText;
};

class Error : public std::runtime_error {
  public:
    Error(ErrorLevel level, UTF8String const& key, UTF8String const& text, unsigned long component,
          long code)
        : std::runtime_error(text), mLevel(level), mKey(key), mComponent(component), mCode(code) {}

    ErrorLevel GetLevel() const noexcept { return mLevel; }
    // The message as given, including any "$$$/..." key.
    UTF8String const& GetKey() const noexcept { return mKey; }
    unsigned long GetComponent() const noexcept { return mComponent; }
    long GetCode() const noexcept { return mCode; }

  private:
    ErrorLevel mLevel;
    UTF8String mKey;
    unsigned long mComponent;
    long mCode;
};

// Runs on the thread that calls ThrowError, before the error is thrown, without any lock of this
// module held.
using ErrorHandler = boost::function<void(Error const& error)>;

// Installs `handler` (an empty one restores printing to standard error) and returns the handler
// that was installed before.
ErrorHandler SetErrorHandler(ErrorHandler handler);

// The shown text of `message` with the replacements made (see above).
UTF8String FormatErrorMessage(const char* message, ReplacementValue const& r0 = {},
                              ReplacementValue const& r1 = {}, ReplacementValue const& r2 = {},
                              ReplacementValue const& r3 = {});

[[noreturn]] void ThrowError(ErrorLevel level, const char* message, unsigned long component,
                             long code, bool report, ReplacementValue const& r0 = {},
                             ReplacementValue const& r1 = {}, ReplacementValue const& r2 = {},
                             ReplacementValue const& r3 = {});

}  // namespace config
}  // namespace basekit
