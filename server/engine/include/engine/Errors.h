#pragma once
// Result codes of the media engine. 0 is success; every failure is a distinct negative value in
// the range -2101 .. -2199, chosen so that it never collides with the library's own codes (-1 for
// a transport error, -6 for a withdrawn request, 3 and 5 for calls that got no answer).
#include <cerrno>
#include <cstdint>

namespace vireo::engine {

enum ErrorCode : std::int32_t {
    kOK = 0,

    // Opening a movie.
    kErrFileNotFound = -2101,       // no file at the path
    kErrIsDirectory = -2102,        // the path names a directory
    kErrAccessDenied = -2103,       // the file exists but cannot be read
    kErrNotMedia = -2104,           // no known container format recognises the file
    kErrNoDecodableStream = -2105,  // a container, but neither video nor audio can be decoded
    kErrCorrupt = -2106,            // recognised as media, but its structure cannot be read
    kErrInvalidPath = -2107,        // empty path or one that is not valid text
    kErrOpenTimedOut = -2108,       // opening took longer than the open time limit
    kErrReferenceRefused = -2109,   // the movie refers to a file that is not a regular file,
                                    // through a protocol the engine does not read (network, ...),
                                    // or to more files than opening may read

    // Reading frames and audio.
    kErrNoVideo = -2120,                 // the movie has no decodable video
    kErrNoAudio = -2121,                 // the movie has no decodable audio
    kErrTimeOutOfRange = -2122,          // the frame time lies before 0 or at/after the duration
    kErrUnsupportedPixelFormat = -2123,  // the requested FourCC is not one the engine delivers
    kErrBadDestination = -2124,          // null pointer, row bytes too small, or bad output size
    kErrDecodeFailed = -2125,            // the decoder failed on data that should be there
    kErrFrameUnavailable = -2126,        // the stream ends before the frame (truncated file)
    kErrConversionFailed = -2127,        // the pixel converter could not be set up
    kErrOutOfMemory = -2128,

    // Movie methods of the server (movie identifiers, requests).
    kErrUnknownMovie = -2140,   // no open movie has this identifier (never opened, or closed)
    kErrBadRequest = -2141,     // malformed parameters
    kErrPublishFailed = -2142,  // the shared block could not be made or published
    kErrMovieClosing = -2143,   // the movie was closed while the request waited
    kErrCancelled = -2144,      // the client cancelled the request before it ran

    // Limits of one client session (docs/server.md, "Limits").
    kErrFrameTooLarge = -2145,       // the frame asked for is wider or higher than allowed
    kErrTooManyMovies = -2146,       // the session has as many movies open as it may
    kErrSessionMemoryLimit = -2147,  // the session's client holds as much shared memory as allowed
    kErrSessionFrameLimit = -2148,   // the session's client holds as many frames as allowed
};

// A short English description of a code ("unknown error" for codes not listed above).
const char* ErrorText(std::int32_t code) noexcept;

// The code for the errno of a failed stat() or open() of a movie's path. Inline: the file
// readers that use it do not link the engine.
inline std::int32_t PathError(int error) noexcept {
    switch (error) {
        case EACCES:
        case EPERM:
            return kErrAccessDenied;
        case ENAMETOOLONG:
        case ELOOP:
        case EINVAL:
            return kErrInvalidPath;
        case EISDIR:
            return kErrIsDirectory;
        case ENOMEM:
            return kErrOutOfMemory;
        default:
            return kErrFileNotFound;
    }
}

}  // namespace vireo::engine
