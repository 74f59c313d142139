#include "basemediatypes/JSONConvert.h"

#include <cstdint>

namespace basekit {
namespace serialization {

namespace {
constexpr char kNumerator[] = "numerator";
constexpr char kDenominator[] = "denominator";
}  // namespace

boost::any JSONConvert<basemediatypes::PixelAspectRatio>::ToJSON(
    basemediatypes::PixelAspectRatio const& ratio) {
    boost::any object = VariantObject();
    WriteField<std::uint32_t>(object, kNumerator, ratio.GetNumerator());
    WriteField<std::uint32_t>(object, kDenominator, ratio.GetDenominator());
    return object;
}

basemediatypes::PixelAspectRatio JSONConvert<basemediatypes::PixelAspectRatio>::FromJSON(
    boost::any const& value) {
    VariantObject const& object = AsObject(value);
    return basemediatypes::PixelAspectRatio(ReadValue<std::uint32_t>(object, kNumerator),
                                            ReadValue<std::uint32_t>(object, kDenominator));
}

}  // namespace serialization
}  // namespace basekit
