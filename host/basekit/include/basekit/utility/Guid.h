#pragma once
// 16-byte identifier of interfaces, open movies, requests and published data.
// Text form: "{4F9CB3F7-C5DF-4F33-B5A5-784CDF9C3FB9}" (braced, upper case); the bytes are kept
// in the order in which they are written.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "basekit/Strings.h"

namespace basekit {
namespace utility {

class Guid {
public:
    static constexpr std::size_t kSize = 16;
    using Bytes = std::array<std::uint8_t, kSize>;

    constexpr Guid() noexcept : mBytes{} {}
    constexpr explicit Guid(Bytes const& bytes) noexcept : mBytes(bytes) {}

    // Parses the text form, with or without braces, in any letter case. Text that is not an
    // identifier gives the all-zero identifier.
    constexpr explicit Guid(const char* text) noexcept : mBytes(Parse(text)) {}

    // A new identifier from the operating system's cryptographically secure source: these
    // identifiers also name shared memory, so they must not be guessable.
    static Guid CreateUnique();

    UTF16String AsString() const;
    UTF8String AsUTF8String() const;

    constexpr bool IsNull() const noexcept {
        for (auto b : mBytes) {
            if (b != 0) {
                return false;
            }
        }
        return true;
    }
    constexpr Bytes const& GetBytes() const noexcept { return mBytes; }

    friend constexpr bool operator==(Guid const& a, Guid const& b) noexcept {
        for (std::size_t i = 0; i < kSize; ++i) {
            if (a.mBytes[i] != b.mBytes[i]) {
                return false;
            }
        }
        return true;
    }
    friend constexpr bool operator!=(Guid const& a, Guid const& b) noexcept { return !(a == b); }
    friend constexpr bool operator<(Guid const& a, Guid const& b) noexcept {
        for (std::size_t i = 0; i < kSize; ++i) {
            if (a.mBytes[i] != b.mBytes[i]) {
                return a.mBytes[i] < b.mBytes[i];
            }
        }
        return false;
    }

private:
    static constexpr int HexValue(char c) noexcept {
        return (c >= '0' && c <= '9')   ? c - '0'
               : (c >= 'a' && c <= 'f') ? c - 'a' + 10
               : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                        : -1;
    }

    static constexpr Bytes Parse(const char* text) noexcept {
        Bytes out{};
        if (text == nullptr) {
            return out;
        }
        std::size_t pos = 0;
        bool braced = text[0] == '{';
        if (braced) {
            ++pos;
        }
        // Groups of 8-4-4-4-12 hex digits separated by dashes.
        constexpr int kGroups[5] = {8, 4, 4, 4, 12};
        std::size_t byte = 0;
        for (int g = 0; g < 5; ++g) {
            if (g > 0) {
                if (text[pos] != '-') {
                    return Bytes{};
                }
                ++pos;
            }
            for (int d = 0; d < kGroups[g]; d += 2) {
                int hi = HexValue(text[pos]);
                int lo = hi < 0 ? -1 : HexValue(text[pos + 1]);
                if (hi < 0 || lo < 0) {
                    return Bytes{};
                }
                out[byte++] = static_cast<std::uint8_t>(hi * 16 + lo);
                pos += 2;
            }
        }
        if (braced) {
            if (text[pos] != '}') {
                return Bytes{};
            }
            ++pos;
        }
        if (text[pos] != '\0') {
            return Bytes{};
        }
        return out;
    }

    Bytes mBytes;
};

}  // namespace utility
}  // namespace basekit

template <>
struct std::hash<basekit::utility::Guid> {
    std::size_t operator()(basekit::utility::Guid const& g) const noexcept {
        std::size_t h = 1469598103934665603ull;
        for (auto b : g.GetBytes()) {
            h = (h ^ b) * 1099511628211ull;
        }
        return h;
    }
};
