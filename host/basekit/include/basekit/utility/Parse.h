#pragma once
// Reading integers from text: the one parser every library uses (settings, environment values,
// command lines, /proc fields).
#include <cstdint>
#include <string_view>

namespace basekit {
namespace utility {

// The whole of `text` is a decimal integer that fits T: an optional '-' (signed T only) or '+',
// then digits, nothing else (no blanks). Otherwise false and `out` is unchanged.
bool ParseInteger(std::string_view text, std::int64_t& out) noexcept;
bool ParseInteger(std::string_view text, std::uint64_t& out) noexcept;
bool ParseInteger(std::string_view text, std::int32_t& out) noexcept;
bool ParseInteger(std::string_view text, std::uint32_t& out) noexcept;

// Stream rules, as reading an int32 with operator>> does: leading blanks are skipped, an optional
// sign, then as many digits as follow; reading stops at the first other character. Text that does
// not begin (after blanks) with a number gives 0; a number beyond int32 gives 0.
std::int32_t ParseLeadingInt32(std::string_view text) noexcept;

// The integer in environment variable `name` when it is set, parses (ParseInteger) and lies in
// [minimum, maximum]; otherwise `fallback`.
std::int64_t EnvironmentInteger(const char* name, std::int64_t fallback, std::int64_t minimum,
                                std::int64_t maximum) noexcept;

}  // namespace utility
}  // namespace basekit
