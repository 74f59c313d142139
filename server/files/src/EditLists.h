#pragma once
// Setting the edit lists of a finished QuickTime movie. FFmpeg's muxer writes an edit list per
// track that starts at the track's first presented sample and runs to the end of its media; a
// trim needs each track to start exactly at the range's start and to end exactly at its end,
// which the muxer cannot be told. So the movie header is rewritten once the file is complete:
// the edit list of each copied track, the durations of every track header and of the movie
// header, and every other track (timecode, chapters) cut to the range's length.
#include <cstdint>
#include <vector>

namespace vireo::server::files {

// What was written for one track, in its stream's time base (tbNum / tbDen seconds per unit),
// with the range's start at time 0.
struct TrackTiming {
    enum class Kind { kVideo, kSound, kText };
    std::uint32_t trackId = 0;  // FFmpeg numbers tracks 1, 2, ... in stream order
    Kind kind = Kind::kVideo;   // checked against the track's handler
    int tbNum = 1;
    int tbDen = 1;
    std::int64_t firstDts = 0;           // decode time of the first sample (the media's time 0)
    std::int64_t presentationStart = 0;  // earliest presentation time of a sample
    std::int64_t presentationEnd = 0;    // end of the last sample presented
    // The track goes on past the range's end (so it ends with the range, whatever the last
    // kept sample's stated duration: demuxers guess durations they do not know).
    bool reachesRangeEnd = false;
};

// Rewrites the movie header of the QuickTime file open at `fd` so that each track of `tracks`
// presents [max(0, start), min(end, length)) of the range and every other track at most the
// range's length; `length` is in units of `scale`. 0, or kErrTrimWriteFailed when the file
// cannot be read or written, or its header is not as the muxer writes it (a listed track
// missing its headers, or of another kind than listed).
std::int32_t SetEditLists(int fd, std::vector<TrackTiming> const& tracks, std::int64_t length,
                          std::int64_t scale);

}  // namespace vireo::server::files
