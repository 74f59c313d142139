#pragma once
// Whether the media engine (FFmpeg's libraries) is usable in this process.

namespace vireo::server {

// True when libavformat and libavcodec answer their version queries and at least one decoder
// is registered.
bool ProbeMediaLibraries();

}  // namespace vireo::server
