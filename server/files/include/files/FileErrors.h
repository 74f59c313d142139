#pragma once
// Result codes of the file services. Problems with a movie being read (missing, unreadable, not a
// movie, damaged) are reported with the media engine's codes (engine/Errors.h, -2101 to -2107);
// the codes below are the file services' own. All are negative and lie in the engine's range
// (-2101 .. -2199) without overlapping its codes, so none collides with the library's codes
// (-1, -6, 3, 5, 13).
#include <cstdint>

namespace vireo::server::files {

enum FileServicesError : std::int32_t {
    // Trimming: the request.
    kErrTrimBadScale = -2160,       // Scale is 0 or negative
    kErrTrimBadDuration = -2161,    // Duration is negative or 0, or no whole frame is left
    kErrTrimBadSampleSize = -2162,  // SampleSize is negative
    kErrTrimOutOfRange = -2163,     // the range starts before 0 or ends after the movie
    kErrTrimSameFile = -2164,       // Destination is Source (by any path)
    // Trimming: the destination and the work.
    kErrTrimDestinationUnwritable = -2165,  // no file can be made at Destination
    kErrTrimWriteFailed = -2166,            // writing the new movie failed (disk full, I/O)
    kErrTrimUnsupportedMovie = -2167,       // a track cannot be copied into a QuickTime movie
    kErrTrimCancelled = -2168,              // the trim was cancelled
    kErrTrimSourceDamaged = -2169,          // reading the source's media failed midway

    // External references.
    kErrCompressedMovieHeader = -2170,  // the movie header is compressed ('cmov'), not read
};

// A short English description of a file services code or of an engine code.
const char* FileErrorText(std::int32_t code) noexcept;

}  // namespace vireo::server::files
