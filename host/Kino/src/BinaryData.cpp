#include "Kino/BinaryData.h"

#include <limits>
#include <new>

#include "Kino/JSONConvert.h"
#include "basekit/config/Error.h"
#include "basekit/debug/Debug.h"

namespace Kino {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a base64 character, or -1.
int DecodeChar(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

}  // namespace

long EncodeBinaryDataToUTF8String(BinaryData const& data, basekit::UTF8String& out) {
    out.clear();
    std::size_t const size = data.size();
    if (size / 3 >= std::numeric_limits<std::size_t>::max() / 4 - 1) {
        return kBinaryDataTooLarge;
    }
    try {
        out.reserve((size + 2) / 3 * 4);
    } catch (std::bad_alloc const&) {
        return kBinaryDataTooLarge;
    } catch (std::length_error const&) {
        return kBinaryDataTooLarge;
    }
    std::uint8_t const* bytes = data.data();
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        std::uint32_t const group =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out += kAlphabet[(group >> 18) & 0x3F];
        out += kAlphabet[(group >> 12) & 0x3F];
        out += kAlphabet[(group >> 6) & 0x3F];
        out += kAlphabet[group & 0x3F];
    }
    std::size_t const rest = size - i;
    if (rest == 1) {
        std::uint32_t const group = std::uint32_t{bytes[i]} << 16;
        out += kAlphabet[(group >> 18) & 0x3F];
        out += kAlphabet[(group >> 12) & 0x3F];
        out += "==";
    } else if (rest == 2) {
        std::uint32_t const group =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
        out += kAlphabet[(group >> 18) & 0x3F];
        out += kAlphabet[(group >> 12) & 0x3F];
        out += kAlphabet[(group >> 6) & 0x3F];
        out += '=';
    }
    return kBinaryDataOK;
}

long DecodeBinaryDataFromUTF8String(basekit::UTF8String const& text, BinaryData& out) {
    out.clear();
    std::size_t const length = text.size();
    if (length % 4 != 0) {
        return kBinaryDataInvalidText;
    }
    if (length == 0) {
        return kBinaryDataOK;
    }
    std::size_t padding = 0;
    if (text[length - 1] == '=') {
        padding = text[length - 2] == '=' ? 2 : 1;
    }
    try {
        out.reserve(length / 4 * 3);
    } catch (std::bad_alloc const&) {
        return kBinaryDataTooLarge;
    }
    for (std::size_t i = 0; i < length; i += 4) {
        bool const last = i + 4 == length;
        std::size_t const pad = last ? padding : 0;
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            int value = 0;
            if (j < 4 - pad) {
                value = DecodeChar(text[i + j]);
                if (value < 0) {
                    out.clear();
                    return kBinaryDataInvalidText;
                }
            }
            group = (group << 6) | static_cast<std::uint32_t>(value);
        }
        // The bits below the last data character must be zero (canonical form).
        if ((pad == 1 && (group & 0xFF) != 0) || (pad == 2 && (group & 0xFFFF) != 0)) {
            out.clear();
            return kBinaryDataInvalidText;
        }
        out.push_back(static_cast<std::uint8_t>(group >> 16));
        if (pad < 2) {
            out.push_back(static_cast<std::uint8_t>((group >> 8) & 0xFF));
        }
        if (pad < 1) {
            out.push_back(static_cast<std::uint8_t>(group & 0xFF));
        }
    }
    return kBinaryDataOK;
}

}  // namespace Kino

namespace basekit {
namespace serialization {

namespace {

constexpr char kContractMessage[] =
    "$$$/basekit/utility/Error/Contract/InputContractViolation=An input contract violation has "
    "occurred!";

// Reports a failed conversion as a violated input contract and raises it.
[[noreturn]] void ContractViolation(bool& ignore, long line, const char* function) {
    bool const breakRequested =
        debug::BreakAfterContractDialog(ignore, "Orb::ResultSucceeded(result)", UTF8String(),
                                        "Kino/JSONConvert.h", line, function, true);
    debug::BreakIfRequested(breakRequested);
    config::ThrowError(config::kErrorLevelError, kContractMessage, 105, 25, true);
}

bool gToJSONReportIgnored = false;
bool gFromJSONReportIgnored = false;

}  // namespace

boost::any JSONConvert<Kino::BinaryData>::ToJSON(Kino::BinaryData const& data) {
    UTF8String text;
    long const result = Kino::EncodeBinaryDataToUTF8String(data, text);
    if (result < 0) {
        ContractViolation(gToJSONReportIgnored, 59,
                          "basekit::serialization::JSONConvert<class Kino::BinaryData>::ToJSON");
    }
    return text;
}

Kino::BinaryData JSONConvert<Kino::BinaryData>::FromJSON(boost::any const& value) {
    UTF8String const& text = boost::any_cast<UTF8String const&>(value);
    Kino::BinaryData data;
    long const result = Kino::DecodeBinaryDataFromUTF8String(text, data);
    if (result < 0) {
        ContractViolation(gFromJSONReportIgnored, 69,
                          "basekit::serialization::JSONConvert<class Kino::BinaryData>::FromJSON");
    }
    return data;
}

}  // namespace serialization
}  // namespace basekit
