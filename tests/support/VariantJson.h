#pragma once
// Conversion between JSON documents and the variant tree, for test servers and tests.
//   object <-> VariantObject, array <-> VariantArray, string <-> UTF8String,
//   signed integer <-> std::int64_t, unsigned integer (above INT64_MAX) <-> std::uint64_t,
//   real <-> double, bool <-> bool. JSON null becomes an empty boost::any (not a variant kind:
//   avoid it in answers), and an empty boost::any becomes null.
#include <boost/json/value.hpp>

#include "basekit/serialization/Variant.h"

namespace vireotest {

basekit::serialization::VariantPtr JsonToVariant(boost::json::value const& json);
// Throws std::invalid_argument for a held type that is not a variant kind.
boost::json::value VariantToJson(boost::any const& variant);
inline boost::json::value VariantToJson(basekit::serialization::VariantPtr const& variant) {
    return variant ? VariantToJson(*variant) : boost::json::value();
}

}  // namespace vireotest
