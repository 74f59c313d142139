#pragma once
// The variant tree in which every call and answer travels. A variant is a boost::any holding
// exactly one of seven kinds: VariantObject, VariantArray, UTF8String, std::int64_t,
// std::uint64_t, double or bool. Members and elements are shared through VariantPtr.
#include <boost/any.hpp>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "basekit/Strings.h"

namespace basekit {
namespace serialization {

using Variant = boost::any;
using VariantPtr = boost::shared_ptr<boost::any>;
using VariantObject = std::map<UTF8String, VariantPtr>;
using VariantArray = std::vector<VariantPtr>;

// The value's count and the boost::any share one allocation.
inline VariantPtr MakeVariant(boost::any value) {
    return boost::make_shared<boost::any>(std::move(value));
}

// Builds a complete call: an object with "method" (text) and "params" (the argument variant,
// an array for every call the library makes). The second form takes the arguments over instead
// of copying them (a VariantArray passed by value converts to a temporary that goes there).
VariantPtr BuildCall(const char* method, boost::any const& params);
VariantPtr BuildCall(const char* method, boost::any&& params);

// Adds or replaces a member of an object variant. Throws boost::bad_any_cast when `object` is
// not an object.
// A temporary `value` is taken over rather than copied.
void AddToObject(boost::any& object, const char* key, boost::any const& value);
void AddToObject(boost::any& object, const char* key, boost::any&& value);
// Appends an element to an array variant. Throws boost::bad_any_cast when `array` is not one.
void AppendToArray(boost::any& array, boost::any const& value);
void AppendToArray(boost::any& array, boost::any&& value);

// The member under `key`, or an empty pointer when it is absent. Throws boost::bad_any_cast
// when `object` does not hold an object.
VariantPtr GetVariantInObject(boost::any const& object, const char* key);
VariantPtr GetVariantInObject(VariantObject const& object, const char* key);
bool ObjectHasProperty(boost::any const& object, const char* key);
bool ObjectHasProperty(VariantObject const& object, const char* key);

// True when both hold the same kind and the same value, members and elements compared in depth
// (an integer of one kind never equals one of the other kind; two NaN reals are the same). Two
// empty values are the same.
bool SameVariant(boost::any const& a, boost::any const& b);

}  // namespace serialization
}  // namespace basekit
