#pragma once
// The files a QuickTime movie's tracks refer to: the data references ('dref' entries) of each
// track's media. A self-contained movie's entries all say "this file" and it refers to none; a
// reference movie names the files its media lie in, by alias records ('alis') or by URLs
// ('url ').
//
// Thread use: every function here may run on any thread, several at once; they block only on
// reading the movie file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "files/MovieBoxes.h"

namespace vireo::server::files {

// One data reference as the movie stores it, before it is resolved against the movie's folder.
struct DataReference {
    enum class Kind { kAlias, kUrl };
    Kind kind = Kind::kAlias;
    // Alias: the target's absolute path, when the record holds one (in POSIX form).
    // URL: the URL text as stored.
    std::string absolute;
    // The target relative to the movie's folder ("media.mov", "../clips/a.mov"), when the
    // reference says how to find it from there (an alias's levels up and down, a relative URL).
    std::string relative;
};

// The data references of every track of the movie in `source` (a whole file), in track order,
// "this file" entries left out. Returns 0, kErrCorrupt (engine/Errors.h) when the movie's boxes
// are damaged, or kErrCompressedMovieHeader (files/FileErrors.h). A file that is not a QuickTime
// or MP4 movie (no movie box) has no references: 0 and an empty list.
std::int32_t ReadDataReferences(ByteSource const& source, std::vector<DataReference>& references);

// Full paths of the files that `references` name, as seen from a movie in `movieFolder` (an
// absolute folder path): a relative reference is resolved against the folder, an absolute one
// taken as it is, a "file:" URL decoded to its path; a URL of another scheme ("http:") is listed
// as it stands. Paths are lexically normal ("a/./b/../c" gives "a/c"), valid UTF-8, each file
// once, in the order of first mention.
std::vector<std::string> ResolveDataReferences(std::string const& movieFolder,
                                               std::vector<DataReference> const& references);

// Lists the files the movie at `moviePath` (UTF-8; relative paths are taken from the current
// folder) refers to, as full paths (see ResolveDataReferences). Returns 0 with the list (empty
// for a self-contained movie and for a file of another format), or an error code: the engine's
// kErrInvalidPath, kErrFileNotFound, kErrIsDirectory, kErrAccessDenied, kErrNotMedia (not a
// regular file), kErrCorrupt, or kErrCompressedMovieHeader; `paths` is then empty.
std::int32_t ListExternalReferences(std::string const& moviePath, std::vector<std::string>& paths);

}  // namespace vireo::server::files
