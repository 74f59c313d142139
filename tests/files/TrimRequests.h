#pragma once
// Trim requests of the file services tests.
#include <string>
#include <utility>

#include "files/Trim.h"

namespace vireo::test::files {

// A request to trim `source` to [trimIn, trimIn + duration) / scale into `destination`.
inline server::files::TrimRequest Range(std::string source, std::string destination,
                                        std::int32_t trimIn, std::int32_t duration,
                                        std::int32_t scale, std::int32_t sampleSize = 0) {
    server::files::TrimRequest request;
    request.trimIn = trimIn;
    request.duration = duration;
    request.scale = scale;
    request.sampleSize = sampleSize;
    request.source = std::move(source);
    request.destination = std::move(destination);
    return request;
}

}  // namespace vireo::test::files
