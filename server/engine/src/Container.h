#pragma once
// Opening a container file with FFmpeg, with failures sorted into the engine's error codes.
#include <cstdint>
#include <string>

#include "FFmpegHandles.h"

namespace vireo::engine::detail {

// Opens `path` and reads its stream information. On failure returns a code of Errors.h and
// leaves `container` empty. `format` names the demuxer to use (null: probe the file); a second
// opening of the same file passes the first one's, so both see the same streams.
std::int32_t OpenContainer(std::string const& path, const AVInputFormat* format,
                           FormatPtr& container);

}  // namespace vireo::engine::detail
