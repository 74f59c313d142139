#include "files/FileErrors.h"

#include "engine/Errors.h"

namespace vireo::server::files {

const char* FileErrorText(std::int32_t code) noexcept {
    switch (code) {
        case kErrTrimBadScale:
            return "the time scale is not positive";
        case kErrTrimBadDuration:
            return "the duration is not positive";
        case kErrTrimBadSampleSize:
            return "the sample size is negative";
        case kErrTrimOutOfRange:
            return "the range lies outside the movie";
        case kErrTrimSameFile:
            return "the destination is the source";
        case kErrTrimDestinationUnwritable:
            return "the destination cannot be written";
        case kErrTrimWriteFailed:
            return "writing the new movie failed";
        case kErrTrimUnsupportedMovie:
            return "a track cannot be copied into a QuickTime movie";
        case kErrTrimCancelled:
            return "the trim was cancelled";
        case kErrTrimSourceDamaged:
            return "the source's media cannot be read";
        case kErrCompressedMovieHeader:
            return "the movie header is compressed";
        default:
            return engine::ErrorText(code);
    }
}

}  // namespace vireo::server::files
