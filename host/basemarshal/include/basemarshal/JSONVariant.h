#pragma once
// Conversion between the variant tree and JSON values, used at the edge of the RPC layer.
//
//   variant kind               JSON
//   VariantObject              object (members in key order)
//   VariantArray               array
//   UTF8String                 string (its bytes, unchecked)
//   std::int64_t               integer
//   std::uint64_t              integer
//   double                     real (finite only)
//   bool                       true / false
//   empty boost::any           null
//
// Reading JSON back: integers that fit std::int64_t become std::int64_t, even when they were
// written from a std::uint64_t; larger ones become std::uint64_t. Readers of the tree therefore
// accept both integer kinds (basekit::serialization::JSONConvert does). A real always reads
// back as a double with the same bits. null reads back as an empty boost::any, so that a typed
// reader given null throws boost::bad_any_cast instead of seeing an absent member. An empty
// VariantPtr inside an array or object is written as null.
//
// For convenience ToJSON also takes int, unsigned, long long, unsigned long long, short,
// unsigned short, float and const char* (written as the nearest kind above); anything else
// throws std::invalid_argument, as do non-finite reals and trees nested deeper than
// kMaxVariantDepth.
#include <boost/any.hpp>
#include <boost/json/value.hpp>
#include <cstddef>

#include "basekit/serialization/Variant.h"

namespace basemarshal {

constexpr std::size_t kMaxVariantDepth = 256;

// The JSON value's memory comes from `storage` (the default resource when empty): a message
// built on a short-lived arena costs no allocation of its own.
boost::json::value ToJSON(boost::any const& variant,
                          boost::json::storage_ptr const& storage = boost::json::storage_ptr());
basekit::serialization::VariantPtr FromJSON(boost::json::value const& json);

}  // namespace basemarshal
