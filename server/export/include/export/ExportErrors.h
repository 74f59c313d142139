#pragma once
// Result codes of the export engine. 0 is success; every failure is a distinct negative value in
// the range -2201 .. -2299, next to the decoding engine's -2101 .. -2199, so that no code
// collides with the library's own (-1 for a transport error, 3 and 5 for calls without an
// answer). docs/export.md lists what each one means to a host.
#include <cstdint>

namespace vireo::server::exporting {

enum ExportResult : std::int32_t {
    kExportOK = 0,

    // Starting: the settings are checked before anything is written, in this order.
    kErrExportExists = -2201,             // an export with this identifier is running already
    kErrNothingToExport = -2202,          // neither video nor audio asked for
    kErrTimeRange = -2203,                // tick rate <= 0, empty or reversed range, range too long
    kErrInvalidPath = -2204,              // empty, relative, not valid UTF-8, or a name too long
    kErrDestinationIsDirectory = -2205,   // the destination names a directory
    kErrDirectoryMissing = -2206,         // the destination's directory does not exist
    kErrDirectoryNotWritable = -2207,     // no file can be created in the destination's directory
    kErrDestinationReadOnly = -2208,      // a file at the destination that we may not replace
    kErrUnknownVideoCodec = -2210,        // the video codec is not in the export catalogue
    kErrFrameSize = -2211,                // width or height outside what the codec accepts
    kErrFrameRate = -2212,                // no usable rate, or one the codec does not allow
    kErrPixelAspect = -2213,              // half-given ratio, or one the codec does not allow
    kErrFieldType = -2214,                // unknown field code, or a field order the codec refuses
    kErrBitDepth = -2215,                 // a depth (or grey) the codec does not write
    kErrQuality = -2216,                  // quality above 1024 (lossless)
    kErrKeyFrameInterval = -2217,         // key frames asked for with an interval of 0 or > 10000
    kErrDataRate = -2218,                 // a data-rate limit that is not a usable number, or the
                                          // codec takes none
    kErrCodecSettingsUnreadable = -2219,  // the codec's private settings data cannot be read
    kErrCodecProfile = -2220,       // the DNxHD/DNxHR class or profile does not exist for this
                                    // size, rate and field order
    kErrInputPixelFormat = -2221,   // the announced frame format is not one we read
    kErrUnknownAudioCodec = -2230,  // the audio codec is not in the export catalogue
    kErrAudioSampleRate = -2231,    // a rate the audio codec does not take
    kErrAudioChannels = -2232,      // a channel count the audio codec does not take
    kErrAudioSampleType = -2233,    // a submitted sample type we do not read
    kErrChannelLayout = -2234,      // an unknown channel layout, or one for another count
    kErrAudioBitrate = -2235,       // an audio data rate the codec does not take
    kErrCaptionData = -2236,        // caption bytes that are not CEA-608 byte pairs

    // Encoding and writing (at start, during the export or at completion).
    kErrEncoderFailed = -2240,  // an encoder could not be opened or failed
    kErrWriteFailed = -2241,    // the movie file could not be written (disk full, I/O error)
    kErrOutOfMemory = -2242,

    // Submissions, progress and completion.
    kErrUnknownExport = -2250,  // no export with this identifier for this caller
    kErrFrameNumber = -2251,    // not after the previous frame, or beyond the export's range
    kErrFrameFormat = -2252,    // a pixel format we do not read, or a malformed frame layout
    kErrFrameMismatch = -2253,  // the frame's size is not the export's
    kErrNoVideoTrack = -2254,   // a frame for an export without video
    kErrNoAudioTrack = -2255,   // audio for an export without audio
    kErrAudioPosition = -2256,  // audio that overlaps what was written, or beyond the range
    kErrAudioBlock = -2257,     // a sample count < 1, or fewer bytes than the samples need
    kErrDataNotShared = -2258,  // the frame or samples the call names are not shared by the caller
    kErrBadRequest = -2259,     // the call's arguments are missing, of the wrong kind or unreadable
    kErrCancelled = -2260,      // the export was cancelled; nothing is written
    kErrAbandoned = -2261,      // the host gave up (failure status) or its session ended
    kErrCompleting = -2262,     // the export is completing: it takes no more submissions
    kErrNothingWritten = -2263,  // completed without a single frame or sample
    kErrShuttingDown = -2264,    // the export service is stopping
};

// A short English description of a code ("unknown export result" for codes not listed above).
const char* ExportResultText(std::int32_t code) noexcept;

}  // namespace vireo::server::exporting
