#pragma once
// Variant-tree converters of the media value types.
//
// PixelAspectRatio travels as the ratio object {"numerator": uint32, "denominator": uint32}.
// Reading requires an object (anything else throws boost::bad_any_cast); a missing member reads
// as 0, and each member follows the uint32 rule (either integer kind, low 32 bits kept).
// PixelFormatProperties is a uint32 and uses the uint32 converter of basekit directly.
#include <boost/any.hpp>

#include "basekit/serialization/JSONConvert.h"
#include "basemediatypes/PixelAspectRatio.h"
#include "basemediatypes/PixelFormatProperties.h"

namespace basekit {
namespace serialization {

template <>
struct JSONConvert<basemediatypes::PixelAspectRatio> {
    static boost::any ToJSON(basemediatypes::PixelAspectRatio const& ratio);
    static basemediatypes::PixelAspectRatio FromJSON(boost::any const& value);
};

}  // namespace serialization
}  // namespace basekit
