// UTF-8 and UTF-16 conversion, UTF-8 repair and the base64 text form of binary data.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "Kino/BinaryData.h"
#include "basekit/utility/Text.h"

using vireo::test::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::string const text(reinterpret_cast<char const*>(data), size);
    using namespace basekit::utility;

    // Repair always gives valid text that converts to what the original converts to, and
    // valid text survives a round trip through UTF-16 unchanged.
    std::string const repaired = MakeValidUTF8(text);
    Require(IsValidUTF8(repaired));
    Require(IsValidUTF8(text) == (repaired == text));
    basekit::UTF16String const wide = UTF8to16(text);
    Require(wide == UTF8to16(repaired));
    Require(UTF16to8(wide) == repaired);

    // The same bytes read as UTF-16 code units.
    basekit::UTF16String units(size / 2, u'\0');
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        units[i / 2] = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    }
    Require(IsValidUTF8(UTF16to8(units)));

    // base64: decoding either fails with an empty result or gives bytes that encode back to
    // the same canonical text.
    Kino::BinaryData decoded;
    if (Kino::DecodeBinaryDataFromUTF8String(text, decoded) == 0) {
        std::string again;
        Require(Kino::EncodeBinaryDataToUTF8String(decoded, again) == 0);
        Kino::BinaryData twice;
        Require(Kino::DecodeBinaryDataFromUTF8String(again, twice) == 0);
        Require(twice == decoded);
    } else {
        Require(decoded.empty());
    }
    // Any bytes encode, and decode back to themselves.
    Kino::BinaryData raw(data, size);
    std::string encoded;
    Require(Kino::EncodeBinaryDataToUTF8String(raw, encoded) == 0);
    Kino::BinaryData back;
    Require(Kino::DecodeBinaryDataFromUTF8String(encoded, back) == 0);
    Require(back == raw);
    return 0;
}
