// The JSON codec of messages: the number reader and the conversion between JSON and the variant
// tree. Whatever the text, reading never crashes; a value read is written back to text that
// reads as the same value, reals keeping their bits; and a variant made from JSON converts back
// to JSON and again to the same variant (or is refused for its depth, with invalid_argument).
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "MessageCodec.h"
#include "basemarshal/JSONVariant.h"

namespace {

namespace json = boost::json;
using basetransport::detail::MessageParser;

using vireo::test::fuzz::Require;

// Equal values with reals compared bit for bit (so -0.0 is not 0.0).
bool SameBits(json::value const& a, json::value const& b) {
    if (a.kind() != b.kind()) {
        return false;
    }
    switch (a.kind()) {
        case json::kind::double_: {
            double const x = a.get_double();
            double const y = b.get_double();
            return std::memcmp(&x, &y, sizeof x) == 0 || (std::isnan(x) && std::isnan(y));
        }
        case json::kind::array: {
            auto const& x = a.get_array();
            auto const& y = b.get_array();
            if (x.size() != y.size()) {
                return false;
            }
            for (std::size_t i = 0; i < x.size(); ++i) {
                if (!SameBits(x[i], y[i])) {
                    return false;
                }
            }
            return true;
        }
        case json::kind::object: {
            auto const& x = a.get_object();
            auto const& y = b.get_object();
            if (x.size() != y.size()) {
                return false;
            }
            auto i = x.begin();
            auto j = y.begin();
            for (; i != x.end(); ++i, ++j) {
                if (i->key() != j->key() || !SameBits(i->value(), j->value())) {
                    return false;
                }
            }
            return true;
        }
        default:
            return a == b;
    }
}

std::string Text(json::value const& value) {
    return json::serialize(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::string_view const text(reinterpret_cast<char const*>(data), size);
    MessageParser parser;
    std::string error;
    auto const parsed = parser.Parse(text, error);
    if (!parsed) {
        Require(!error.empty());
        return 0;
    }
    json::value const& value = *parsed;

    // Written and read again: the same value, reals to the bit (infinities aside, which JSON
    // cannot carry and a message never holds).
    auto const again = parser.Parse(Text(value), error);
    Require(again.has_value());
    Require(SameBits(value, *again) || Text(value).find("e99999") != std::string::npos);

    // A real that reads as a finite number is the double nearest to its text.
    if (value.is_double() && std::isfinite(value.get_double())) {
        std::string const copy(text);
        Require(std::strtod(copy.c_str(), nullptr) == value.get_double());
    }

    // Into the variant tree and back.
    basekit::serialization::VariantPtr variant;
    try {
        variant = basemarshal::FromJSON(value);
    } catch (std::invalid_argument const&) {
        return 0;  // nested too deeply for a variant
    }
    Require(variant != nullptr);
    json::value written;
    try {
        written = basemarshal::ToJSON(*variant);
    } catch (std::invalid_argument const&) {
        // Only what JSON cannot carry: reals that are not finite.
        Require(Text(value).find("e99999") != std::string::npos);
        return 0;
    }
    basekit::serialization::VariantPtr const back = basemarshal::FromJSON(written);
    Require(SameBits(basemarshal::ToJSON(*back), written));
    return 0;
}
