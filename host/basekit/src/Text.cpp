#include "basekit/utility/Text.h"

#include <cstdint>
#include <cstring>
#include <string_view>

namespace basekit {
namespace utility {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendCodePoint(UTF16String& out, std::uint32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

void AppendUTF8(UTF8String& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Calls emit(code point, true) for each well-formed sequence of `text` and
// emit(kReplacement, false) for each maximal ill-formed subsequence.
template <class Emit>
void DecodeUTF8(std::string_view text, Emit&& emit) {
    std::size_t const n = text.size();
    std::size_t i = 0;
    while (i < n) {
        auto const b0 = static_cast<unsigned char>(text[i]);
        if (b0 < 0x80) {
            emit(b0, true);
            ++i;
            continue;
        }
        // Length of the sequence and the allowed range of its second byte (which excludes
        // overlong forms, surrogates and values above U+10FFFF).
        std::size_t length = 0;
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        std::uint32_t cp = 0;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
            cp = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            cp = b0 & 0x0F;
            lo = b0 == 0xE0 ? 0xA0 : 0x80;
            hi = b0 == 0xED ? 0x9F : 0xBF;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            cp = b0 & 0x07;
            lo = b0 == 0xF0 ? 0x90 : 0x80;
            hi = b0 == 0xF4 ? 0x8F : 0xBF;
        } else {
            emit(kReplacement, false);
            ++i;
            continue;
        }
        std::size_t used = 1;
        bool valid = true;
        for (; used < length; ++used) {
            if (i + used >= n) {
                valid = false;
                break;
            }
            auto const b = static_cast<unsigned char>(text[i + used]);
            if (b < lo || b > hi) {
                valid = false;
                break;
            }
            cp = (cp << 6) | (b & 0x3F);
            lo = 0x80;
            hi = 0xBF;
        }
        if (!valid) {
            emit(kReplacement, false);
            i += used;
            continue;
        }
        emit(cp, true);
        i += length;
    }
}

}  // namespace

UTF16String UTF8to16(std::string_view text) {
    UTF16String out;
    out.reserve(text.size());
    DecodeUTF8(text, [&out](std::uint32_t cp, bool) { AppendCodePoint(out, cp); });
    return out;
}

UTF16String UTF8to16(UTF8String const& text) {
    return UTF8to16(std::string_view(text));
}

UTF16String UTF8to16(const char* text) {
    return text == nullptr ? UTF16String() : UTF8to16(std::string_view(text));
}

bool IsValidUTF8(std::string_view text) noexcept {
    bool valid = true;
    DecodeUTF8(text, [&valid](std::uint32_t, bool wellFormed) { valid = valid && wellFormed; });
    return valid;
}

UTF8String MakeValidUTF8(std::string_view text) {
    UTF8String out;
    out.reserve(text.size());
    DecodeUTF8(text, [&out](std::uint32_t cp, bool) { AppendUTF8(out, cp); });
    return out;
}

UTF8String UTF16to8(UTF16String const& text) {
    UTF8String out;
    out.reserve(text.size());
    std::size_t const n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            std::uint32_t const low = text[++i];
            AppendUTF8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            AppendUTF8(out, kReplacement);
        } else {
            AppendUTF8(out, unit);
        }
    }
    return out;
}

UTF16String AsciiToUTF16(const char* text, std::size_t length) {
    UTF16String out;
    if (text == nullptr) {
        return out;
    }
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        auto const c = static_cast<unsigned char>(text[i]);
        out.push_back(c < 0x80 ? static_cast<char16_t>(c) : kReplacement);
    }
    return out;
}

UTF16String AsciiToUTF16(const char* text) {
    return text == nullptr ? UTF16String() : AsciiToUTF16(text, std::strlen(text));
}

}  // namespace utility
}  // namespace basekit
