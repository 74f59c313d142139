#include "basekit/utility/Parse.h"

#include <charconv>
#include <cstdlib>
#include <limits>

namespace basekit {
namespace utility {

namespace {

template <class T>
bool ParseWhole(std::string_view text, T& out) noexcept {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return false;
        }
    }
    if (text.empty()) {
        return false;
    }
    T value{};
    char const* const end = text.data() + text.size();
    auto const result = std::from_chars(text.data(), end, value, 10);
    if (result.ec != std::errc() || result.ptr != end) {
        return false;
    }
    out = value;
    return true;
}

}  // namespace

bool ParseInteger(std::string_view text, std::int64_t& out) noexcept {
    return ParseWhole(text, out);
}
bool ParseInteger(std::string_view text, std::uint64_t& out) noexcept {
    return ParseWhole(text, out);
}
bool ParseInteger(std::string_view text, std::int32_t& out) noexcept {
    return ParseWhole(text, out);
}
bool ParseInteger(std::string_view text, std::uint32_t& out) noexcept {
    return ParseWhole(text, out);
}

std::int32_t ParseLeadingInt32(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                               text[i] == '\r' || text[i] == '\v' || text[i] == '\f')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::int64_t value = 0;
    bool any = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        any = true;
        value = value * 10 + (text[i] - '0');
        if (value > std::int64_t(std::numeric_limits<std::int32_t>::max()) + 1) {
            return 0;
        }
    }
    if (!any) {
        return 0;
    }
    value = negative ? -value : value;
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        return 0;
    }
    return static_cast<std::int32_t>(value);
}

std::int64_t EnvironmentInteger(const char* name, std::int64_t fallback, std::int64_t minimum,
                                std::int64_t maximum) noexcept {
    char const* text = name == nullptr ? nullptr : std::getenv(name);
    std::int64_t value = 0;
    if (text == nullptr || !ParseInteger(std::string_view(text), value) || value < minimum ||
        value > maximum) {
        return fallback;
    }
    return value;
}

}  // namespace utility
}  // namespace basekit
