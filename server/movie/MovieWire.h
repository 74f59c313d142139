#pragma once
// The movie methods' values on the wire: the movie records filled from the engine's facts (and
// written by the converters the library reads them with, VireoRecords), answers and arguments.
#include <boost/any.hpp>
#include <cstdint>
#include <string>

#include "VireoServer/MovieRecords.h"
#include "basekit/serialization/Variant.h"
#include "basekit/utility/Guid.h"
#include "engine/MovieInfo.h"

namespace vireo::server::movie {

// The properties record of a movie. A movie without a video stream keeps the video group at its
// defaults, one without decodable audio the audio group.
VireoServer::MovieProperties MovieRecord(vireo::engine::MovieInfo const& info);

// {"Video": {...}, "Audio": {...}, "Timecode": {...}}: the written MovieRecord. A group at its
// defaults is left out ("Video" for a movie without a video stream, "Audio" for one without
// decodable audio, "Timecode" for one without timecode).
basekit::serialization::VariantObject MoviePropertiesToVariant(
    vireo::engine::MovieInfo const& info);

// The answer to "OpenMovieFromFile": {"value": OpenMovieFromFileResult}, with the movie's
// properties when `info` is given.
basekit::serialization::VariantPtr OpenMovieAnswer(basekit::utility::Guid const& movieId,
                                                   std::int32_t error,
                                                   vireo::engine::MovieInfo const* info);

// Reads positional arguments of a call. A missing or ill-typed argument sets Failed().
class Arguments {
  public:
    explicit Arguments(basekit::serialization::VariantPtr const& params);
    bool Failed() const noexcept { return mFailed; }

    std::string Text(std::size_t index);
    basekit::utility::Guid Id(std::size_t index);  // a Guid's text; all zero when unreadable
    std::int64_t Integer(std::size_t index);
    bool Flag(std::size_t index);  // a missing flag reads as false
    // The FourCC of a pixel format record.
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

}  // namespace vireo::server::movie
