#pragma once
// Writing a QuickTime reference movie: a movie whose tracks' media lie in another file.
//
// The movie is made from a normal QuickTime movie (the media file, written before, e.g. by
// WriteSample): it holds that movie's header with each track's data reference changed from
// "this file" to the media file, named relative to the reference movie's folder, and no media
// of its own. The sample tables keep their offsets, which are offsets into the media file.
#include <string>

namespace vireo::samples {

enum class ReferenceForm {
    kAlias,  // a Macintosh alias record ('alis'), the form QuickTime writes and FFmpeg follows
    kUrl,    // a relative URL ('url ')
};

// Writes the reference movie at `moviePath` for the QuickTime movie at `mediaPath`. Returns
// true, or false with `error` set (the media file unreadable or not a QuickTime movie, the movie
// not writable).
bool WriteReferenceMovie(std::string const& mediaPath, std::string const& moviePath,
                         ReferenceForm form, std::string& error);

}  // namespace vireo::samples
