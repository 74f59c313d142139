#pragma once
// The numbers of a trim request: their checks and the range they give.
#include <cstdint>

#include "files/Trim.h"

namespace vireo::server::files {

// A range of movie time, [start, end) in units of `scale` (units per second) from the movie's
// start.
struct TimeRange {
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::int64_t scale = 1;
};

// The checks that need no file: 0, kErrTrimBadScale, kErrTrimBadDuration, kErrTrimBadSampleSize
// or kErrTrimOutOfRange (a negative start), in that order.
std::int32_t CheckRequestNumbers(TrimRequest const& request) noexcept;

// `value` moved to the nearest multiple of `step` (> 0); halfway goes up. `value` >= 0.
std::int64_t RoundToMultiple(std::int64_t value, std::int64_t step) noexcept;

// The range of a request whose numbers passed CheckRequestNumbers, its ends rounded to whole
// samples when the request gives a sample size. 0, or kErrTrimBadDuration when nothing is left.
std::int32_t RequestedRange(TrimRequest const& request, TimeRange& range) noexcept;

}  // namespace vireo::server::files
