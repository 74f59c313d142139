#pragma once
// Records of the file services: the trim request and one importable file type.
#include <cstdint>

#include "basekit/Strings.h"

namespace VireoServer {

// A trim: the part [TrimIn, TrimIn + Duration) of Source, in units of Scale per second, written
// into Destination. SampleSize is the length of one frame in units of Scale (0: the range is
// used exactly as given; otherwise each end is moved to the nearest whole frame).
struct TrimMovieParams {
    std::int32_t TrimIn = 0;
    std::int32_t Duration = 0;
    std::int32_t Scale = 0;
    std::int32_t SampleSize = 0;
    basekit::UTF16String Source;
    basekit::UTF16String Destination;
};

// One file type the server imports: an extension without the dot, and a readable description.
struct ImportableFileExtensionItem {
    basekit::UTF16String extension;
    basekit::UTF16String description;
};

}  // namespace VireoServer
