#pragma once
// What TrimWriter knows of one track it copies (shared by its source files), and packet times.
#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
}

#include "TrimWriter.h"

namespace vireo::server::files {

struct TrimWriter::StreamPlan {
    int input = -1;
    Role role = Role::kVideo;
    AVStream* out = nullptr;
    AVRational tb{1, 1};
    std::int64_t origin = 0;  // the movie's time 0, in this stream's time base
    std::int64_t inTs = 0;    // the range, in this stream's time stamps
    std::int64_t endTs = 0;
    std::int64_t needFrom = 0;       // audio: packets ending after this are needed
    std::int64_t preroll = 0;        // audio: how far before the range decoding must start
    std::int64_t frameDuration = 0;  // for packets that carry no duration
    int pcmFrameBytes = 0;           // uncompressed audio: bytes of one sample of every channel
    // Where the source says the track ends (AV_NOPTS_VALUE: it does not say).
    std::int64_t declaredEnd = AV_NOPTS_VALUE;
    bool seen = false;         // a packet was read since reading (re)started
    bool started = false;      // video: a frame to decode from was found
    bool decided = false;      // video: the frame to decode from can no longer change
    bool done = false;         // past the range's end
    bool reachedEnd = false;   // a packet at or after the range's end was read
    AVPacket* held = nullptr;  // video: the last packet kept, not yet emitted
    // What was written, in the output stream's time base.
    bool wrote = false;
    std::int64_t firstDts = 0;
    std::int64_t minPts = 0;
    std::int64_t maxEnd = 0;
};

// A packet's presentation and decoding times, each standing in for the other when missing.
inline std::int64_t PresentationTime(AVPacket const* packet) {
    return packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
}
inline std::int64_t DecodingTime(AVPacket const* packet) {
    return packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
}

}  // namespace vireo::server::files
