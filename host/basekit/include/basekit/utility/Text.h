#pragma once
// Conversions between the host's text types.
//
// Invalid input never throws: each ill-formed part is replaced with U+FFFD (the replacement
// character). For UTF-8 input, every maximal ill-formed subsequence (a byte that cannot start a
// sequence, or the valid-so-far prefix of a truncated or broken sequence) becomes one U+FFFD;
// overlong forms, encoded surrogates and values above U+10FFFF are ill-formed. For UTF-16 input,
// every unpaired surrogate becomes one U+FFFD.
#include <cstddef>
#include <string_view>

#include "basekit/Strings.h"

namespace basekit {
namespace utility {

UTF16String UTF8to16(UTF8String const& text);
UTF16String UTF8to16(std::string_view text);
// A null pointer gives the empty string.
UTF16String UTF8to16(const char* text);
UTF8String UTF16to8(UTF16String const& text);

// True when `text` is well-formed UTF-8 (by the rules above).
bool IsValidUTF8(std::string_view text) noexcept;
// `text` with each ill-formed part replaced by U+FFFD (encoded in UTF-8): text that a strict
// UTF-8 reader (a JSON parser, say) always accepts. Well-formed text is returned unchanged.
UTF8String MakeValidUTF8(std::string_view text);

// Widens `length` bytes of ASCII text (embedded NULs included); a byte above 0x7F becomes
// U+FFFD. A null pointer gives the empty string.
UTF16String AsciiToUTF16(const char* text, std::size_t length);
// As above, up to the terminating NUL.
UTF16String AsciiToUTF16(const char* text);

}  // namespace utility
}  // namespace basekit
