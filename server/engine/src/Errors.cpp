#include "engine/Errors.h"

#include "engine/FourCC.h"

namespace vireo::engine {

const char* ErrorText(std::int32_t code) noexcept {
    switch (code) {
        case kOK:
            return "no error";
        case kErrFileNotFound:
            return "file not found";
        case kErrIsDirectory:
            return "the path names a directory";
        case kErrAccessDenied:
            return "the file cannot be read";
        case kErrNotMedia:
            return "not a media file";
        case kErrNoDecodableStream:
            return "no decodable video or audio stream";
        case kErrCorrupt:
            return "the media file is damaged";
        case kErrInvalidPath:
            return "invalid path";
        case kErrOpenTimedOut:
            return "opening took too long";
        case kErrReferenceRefused:
            return "the movie refers to a file that cannot be read safely";
        case kErrNoVideo:
            return "the movie has no video";
        case kErrNoAudio:
            return "the movie has no audio";
        case kErrTimeOutOfRange:
            return "time outside the movie";
        case kErrUnsupportedPixelFormat:
            return "unsupported pixel format";
        case kErrBadDestination:
            return "bad destination buffer or size";
        case kErrDecodeFailed:
            return "decoding failed";
        case kErrFrameUnavailable:
            return "the frame is missing from the file";
        case kErrConversionFailed:
            return "pixel conversion failed";
        case kErrOutOfMemory:
            return "out of memory";
        case kErrUnknownMovie:
            return "unknown movie";
        case kErrBadRequest:
            return "malformed request";
        case kErrPublishFailed:
            return "the data could not be published";
        case kErrMovieClosing:
            return "the movie was closed";
        case kErrCancelled:
            return "the request was cancelled";
        case kErrFrameTooLarge:
            return "the frame is larger than allowed";
        case kErrTooManyMovies:
            return "too many movies open";
        case kErrSessionMemoryLimit:
            return "too much shared memory held";
        case kErrSessionFrameLimit:
            return "too many frames held";
        default:
            return "unknown error";
    }
}

std::string FourCCToString(std::uint32_t fourcc) {
    std::string text(4, '?');
    for (int i = 0; i < 4; ++i) {
        char c = char((fourcc >> (24 - 8 * i)) & 0xFF);
        if (c >= 0x20 && c < 0x7F)
            text[std::size_t(i)] = c;
    }
    return text;
}

}  // namespace vireo::engine
