#pragma once
// Opening a movie file for reading by path, with the engine's result codes.
#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace vireo::server::files {

// Opens the regular file at `path` read-only: kOK with `fd` (the caller closes it) and its
// `identity`, or kErrInvalidPath, kErrFileNotFound, kErrIsDirectory, kErrAccessDenied,
// kErrOutOfMemory, or kErrNotMedia when the path names something other than a regular file (a
// pipe or device could block the reader for ever). Nothing is left open on failure.
std::int32_t OpenMovieFile(std::string const& path, int& fd, struct stat& identity);

}  // namespace vireo::server::files
