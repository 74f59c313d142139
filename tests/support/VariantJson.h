#pragma once
// JSON <-> variant tree for test servers and tests: the RPC layer's own conversion
// (basemarshal/JSONVariant.h), so tests see exactly what travels on the wire.
#include <boost/json/value.hpp>

#include "basekit/serialization/Variant.h"
#include "basemarshal/JSONVariant.h"

namespace vireo::test {

inline basekit::serialization::VariantPtr JsonToVariant(boost::json::value const& json) {
    return basemarshal::FromJSON(json);
}
inline boost::json::value VariantToJson(boost::any const& variant) {
    return basemarshal::ToJSON(variant);
}
inline boost::json::value VariantToJson(basekit::serialization::VariantPtr const& variant) {
    return variant ? basemarshal::ToJSON(*variant) : boost::json::value();
}

}  // namespace vireo::test
