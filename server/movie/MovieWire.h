#pragma once
// The movie methods' values on the wire: the "MovieProperties" record, answers and arguments.
#include <boost/any.hpp>
#include <cstdint>
#include <string>

#include "basekit/serialization/Variant.h"
#include "basekit/utility/Guid.h"
#include "engine/MovieInfo.h"

namespace vireoserver::movie {

// {"Video": {...}, "Audio": {...}, "Timecode": {...}} with the keys the library reads. "Video" is
// left out for a movie without a video stream, "Audio" for one without decodable audio.
basekit::serialization::VariantObject MoviePropertiesToVariant(
    vireo::engine::MovieInfo const& info);

// {"value": value}
basekit::serialization::VariantPtr ValueAnswer(boost::any value);

// Reads positional arguments of a call. A missing or ill-typed argument sets Failed().
class Arguments {
  public:
    explicit Arguments(basekit::serialization::VariantPtr const& params);
    bool Failed() const noexcept { return mFailed; }

    std::string Text(std::size_t index);
    basekit::utility::Guid Id(std::size_t index);  // a Guid's text; all zero when unreadable
    std::int64_t Integer(std::size_t index);
    bool Flag(std::size_t index);  // a missing flag reads as false
    // The "fourcc" member of a pixel format object.
    std::uint32_t FourCC(std::size_t index);

  private:
    basekit::serialization::VariantPtr At(std::size_t index);
    basekit::serialization::VariantArray const* mArray = nullptr;
    bool mFailed = false;
};

// The pixel aspect ratio of a picture of sourceWidth x sourceHeight with `numerator` /
// `denominator` scaled to width x height, so the shown shape stays the same; reduced, and
// approximated if its terms would not fit 32 bits.
void ScaledPixelAspect(std::uint32_t& numerator, std::uint32_t& denominator,
                       std::int32_t sourceWidth, std::int32_t sourceHeight, std::int32_t width,
                       std::int32_t height);

}  // namespace vireoserver::movie
