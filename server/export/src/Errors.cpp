#include "export/ExportErrors.h"

namespace vireo::server::exporting {

const char* ExportResultText(std::int32_t code) noexcept {
    switch (code) {
        case kExportOK:
            return "success";
        case kErrExportExists:
            return "an export with this identifier is running already";
        case kErrNothingToExport:
            return "neither video nor audio to export";
        case kErrTimeRange:
            return "the export's time range or tick rate is not usable";
        case kErrInvalidPath:
            return "the destination path is empty, relative or malformed";
        case kErrDestinationIsDirectory:
            return "the destination is a directory";
        case kErrDirectoryMissing:
            return "the destination's directory does not exist";
        case kErrDirectoryNotWritable:
            return "no file can be created in the destination's directory";
        case kErrDestinationReadOnly:
            return "the file at the destination may not be replaced";
        case kErrUnknownVideoCodec:
            return "the video codec is not one the server writes";
        case kErrFrameSize:
            return "the frame size is outside what the codec takes";
        case kErrFrameRate:
            return "the frame rate is missing or not one the codec takes";
        case kErrPixelAspect:
            return "the pixel aspect ratio is not one the codec takes";
        case kErrFieldType:
            return "the field order is unknown or not one the codec takes";
        case kErrBitDepth:
            return "the pixel depth is not one the codec writes";
        case kErrQuality:
            return "the quality is above lossless (1024)";
        case kErrKeyFrameInterval:
            return "the key-frame interval is not usable";
        case kErrDataRate:
            return "the data-rate limit is not usable for this codec";
        case kErrCodecSettingsUnreadable:
            return "the codec's settings data cannot be read";
        case kErrCodecProfile:
            return "the codec's class or profile does not exist for this size and rate";
        case kErrInputPixelFormat:
            return "the frames' pixel format is not one the server reads";
        case kErrUnknownAudioCodec:
            return "the audio codec is not one the server writes";
        case kErrAudioSampleRate:
            return "the sample rate is not one the audio codec takes";
        case kErrAudioChannels:
            return "the channel count is not one the audio codec takes";
        case kErrAudioSampleType:
            return "the submitted sample type is not one the server reads";
        case kErrChannelLayout:
            return "the channel layout is unknown or does not fit the channel count";
        case kErrAudioBitrate:
            return "the audio data rate is not one the codec takes";
        case kErrCaptionData:
            return "caption data is not CEA-608 byte pairs";
        case kErrEncoderFailed:
            return "an encoder could not be opened or failed";
        case kErrWriteFailed:
            return "the movie file could not be written";
        case kErrOutOfMemory:
            return "out of memory";
        case kErrUnknownExport:
            return "no such export";
        case kErrFrameNumber:
            return "the frame number is not after the previous one or beyond the range";
        case kErrFrameFormat:
            return "the frame's pixel format or layout cannot be read";
        case kErrFrameMismatch:
            return "the frame's size is not the export's";
        case kErrNoVideoTrack:
            return "the export has no video";
        case kErrNoAudioTrack:
            return "the export has no audio";
        case kErrAudioPosition:
            return "the audio overlaps what was written or lies beyond the range";
        case kErrAudioBlock:
            return "the audio block is empty or shorter than its samples";
        case kErrDataNotShared:
            return "the frame or samples named by the call are not shared by the caller";
        case kErrBadRequest:
            return "the call's arguments are missing or unreadable";
        case kErrCancelled:
            return "the export was cancelled";
        case kErrAbandoned:
            return "the export was abandoned";
        case kErrCompleting:
            return "the export is completing";
        case kErrNothingWritten:
            return "nothing was submitted to the export";
        case kErrShuttingDown:
            return "the export service is stopping";
        default:
            return "unknown export result";
    }
}

}  // namespace vireo::server::exporting
