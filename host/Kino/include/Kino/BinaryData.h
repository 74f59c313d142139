#pragma once
// Kino::BinaryData: a value holding a block of bytes (codec settings, opaque records), with a
// std::vector<std::uint8_t>-like interface.
//
// Its text form, used wherever it travels inside an RPC call, is standard base64 (RFC 4648
// section 4: alphabet A-Z a-z 0-9 + /, '=' padding to a multiple of four characters, no line
// breaks). Decoding is strict: characters outside the alphabet (blanks and line breaks
// included), a length that is not a multiple of four, padding anywhere but at the end, or
// non-zero bits in the last character before the padding are rejected. The empty text is the
// empty block.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "basekit/Strings.h"

namespace Kino {

class BinaryData {
  public:
    using value_type = std::uint8_t;
    using size_type = std::size_t;
    using iterator = std::vector<std::uint8_t>::iterator;
    using const_iterator = std::vector<std::uint8_t>::const_iterator;

    BinaryData() = default;
    explicit BinaryData(std::vector<std::uint8_t> bytes) : mBytes(std::move(bytes)) {}
    BinaryData(std::uint8_t const* data, std::size_t size) : mBytes(data, data + size) {}
    BinaryData(std::initializer_list<std::uint8_t> bytes) : mBytes(bytes) {}

    std::uint8_t* data() noexcept { return mBytes.data(); }
    std::uint8_t const* data() const noexcept { return mBytes.data(); }
    std::size_t size() const noexcept { return mBytes.size(); }
    bool empty() const noexcept { return mBytes.empty(); }
    void clear() noexcept { mBytes.clear(); }
    void resize(std::size_t size) { mBytes.resize(size); }
    void reserve(std::size_t size) { mBytes.reserve(size); }
    void assign(std::uint8_t const* data, std::size_t size) { mBytes.assign(data, data + size); }
    void push_back(std::uint8_t byte) { mBytes.push_back(byte); }

    std::uint8_t& operator[](std::size_t i) { return mBytes[i]; }
    std::uint8_t operator[](std::size_t i) const { return mBytes[i]; }

    iterator begin() noexcept { return mBytes.begin(); }
    iterator end() noexcept { return mBytes.end(); }
    const_iterator begin() const noexcept { return mBytes.begin(); }
    const_iterator end() const noexcept { return mBytes.end(); }

    std::vector<std::uint8_t> const& GetBytes() const noexcept { return mBytes; }

    friend bool operator==(BinaryData const& a, BinaryData const& b) {
        return a.mBytes == b.mBytes;
    }
    friend bool operator!=(BinaryData const& a, BinaryData const& b) {
        return a.mBytes != b.mBytes;
    }

  private:
    std::vector<std::uint8_t> mBytes;
};

// Results of the text conversions: 0 on success, negative on failure.
constexpr long kBinaryDataOK = 0;
constexpr long kBinaryDataInvalidText = -1;  // the text is not valid base64
constexpr long kBinaryDataTooLarge = -2;     // the data or its text does not fit in memory

// Writes the base64 text of `data` into `out` (replacing its contents). On failure `out` is
// empty.
long EncodeBinaryDataToUTF8String(BinaryData const& data, basekit::UTF8String& out);

// Decodes base64 `text` into `out` (replacing its contents). On failure `out` is empty.
long DecodeBinaryDataFromUTF8String(basekit::UTF8String const& text, BinaryData& out);

}  // namespace Kino
