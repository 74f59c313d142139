#pragma once
// Trimming: a part of a movie copied into a new QuickTime movie without decoding or encoding.
//
// The new movie holds the packets of each track from the key frame at or before the start of the
// range (audio: from the packets whose decoding reaches the start) to the end of the range, and
// an edit list per track that starts playback exactly at the range's start and ends it exactly
// at its end: every frame shown during the range is kept, frame for frame, and audio sample for
// sample. A timecode track is made anew, starting at the timecode of the first frame kept;
// chapters and caption tracks are cut to the range and moved to its start; metadata is copied.
//
// Thread use: TrimMovie runs on the calling thread and blocks it until the new movie is complete
// (or the trim failed); any number of trims may run at once on different threads.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace vireo::server::files {

struct TrimRequest {
    std::int32_t trimIn = 0;    // start of the range, in units of `scale`, from the movie's start
    std::int32_t duration = 0;  // length of the range, in units of `scale`
    std::int32_t scale = 0;     // units per second
    // The length of one frame in units of `scale` (a movie's video time scale and sample size
    // go together: scale 30000, sample size 1001 at 29.97 fps). 0: the range is used exactly
    // as given. Positive: each end of the range is moved to the nearest multiple of it (halfway
    // goes later), so that a range given in other units (seconds) holds whole frames.
    std::int32_t sampleSize = 0;
    std::string source;       // UTF-8 path of the movie to read
    std::string destination;  // UTF-8 path of the movie to write
};

struct TrimControl {
    // Called on the trimming thread with the part of the work done, from 0 to 1, rising, at most
    // about once per percent; 1 only once the new movie is in place. May be empty.
    std::function<void(double fraction)> progress;
    // When set (from any thread), the trim stops at its next packet, removes what it wrote and
    // returns kErrTrimCancelled. May be null.
    std::atomic<bool> const* cancel = nullptr;
};

// Writes the range of `request.source` into `request.destination`, replacing a file there. The
// movie is written under a temporary name in the destination's folder and renamed into place
// once complete; on failure nothing is left behind and an existing destination is untouched.
// The source is only read. Returns 0, or the first problem found, checked in this order:
//   kErrTrimBadScale         scale <= 0
//   kErrTrimBadDuration      duration <= 0
//   kErrTrimBadSampleSize    sampleSize < 0
//   kErrTrimOutOfRange       trimIn < 0
//   engine codes             the source: kErrInvalidPath, kErrFileNotFound, kErrIsDirectory,
//                            kErrAccessDenied, kErrNotMedia (a pipe, a device, an empty file)
//   kErrTrimDestinationUnwritable  empty destination, a folder, or a folder that does not exist
//   kErrTrimSameFile         destination names the source's file (by any path or link)
//   engine codes             the source as a movie: kErrNotMedia (no format recognises it),
//                            kErrCorrupt, kErrOutOfMemory
//   kErrTrimBadDuration      the range holds nothing once rounded to whole samples
//   kErrTrimUnsupportedMovie a video or audio track cannot be stored in a QuickTime movie
//   kErrNoDecodableStream    the source has no video or audio track (engine code)
//   kErrTrimOutOfRange       the range starts at or after the movie's end or ends after it
//   kErrTrimDestinationUnwritable  the destination's folder does not allow a new file
//   kErrTrimSourceDamaged    reading the source's packets failed
//   kErrTrimWriteFailed      writing failed (disk full, I/O error), or the rename failed
//   kErrTrimCancelled        `control.cancel` was set
std::int32_t TrimMovie(TrimRequest const& request, TrimControl const& control = {});

}  // namespace vireo::server::files
