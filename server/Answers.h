#pragma once
// The shapes every method group answers and reads: a method's value goes under "value" of its
// result, and most methods take their one argument first in the argument array.
#include "basekit/serialization/Variant.h"

namespace vireo::server {

// {"value": value}
inline basekit::serialization::VariantPtr ValueAnswer(boost::any value) {
    basekit::serialization::VariantObject answer;
    answer["value"] = basekit::serialization::MakeVariant(std::move(value));
    return basekit::serialization::MakeVariant(std::move(answer));
}

// The first element of a call's argument array, or an empty pointer.
inline basekit::serialization::VariantPtr FirstArgument(
    basekit::serialization::VariantPtr const& params) {
    auto const* array =
        params ? boost::any_cast<basekit::serialization::VariantArray>(params.get()) : nullptr;
    if (!array || array->empty()) {
        return basekit::serialization::VariantPtr();
    }
    return array->front();
}

}  // namespace vireo::server
