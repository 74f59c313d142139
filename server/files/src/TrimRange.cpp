#include "TrimRange.h"

#include "files/FileErrors.h"

namespace vireo::server::files {

std::int32_t CheckRequestNumbers(TrimRequest const& request) noexcept {
    if (request.scale <= 0) {
        return kErrTrimBadScale;
    }
    if (request.duration <= 0) {
        return kErrTrimBadDuration;
    }
    if (request.sampleSize < 0) {
        return kErrTrimBadSampleSize;
    }
    if (request.trimIn < 0) {
        return kErrTrimOutOfRange;
    }
    return 0;
}

std::int64_t RoundToMultiple(std::int64_t value, std::int64_t step) noexcept {
    std::int64_t const below = value / step * step;
    return value - below >= step - (value - below) ? below + step : below;
}

std::int32_t RequestedRange(TrimRequest const& request, TimeRange& range) noexcept {
    // Both ends fit 64 bits comfortably: each number is at most 2^31 - 1.
    range.scale = request.scale;
    range.start = request.trimIn;
    range.end = std::int64_t(request.trimIn) + request.duration;
    if (request.sampleSize > 0) {
        range.start = RoundToMultiple(range.start, request.sampleSize);
        range.end = RoundToMultiple(range.end, request.sampleSize);
    }
    return range.end > range.start ? 0 : kErrTrimBadDuration;
}

}  // namespace vireo::server::files
