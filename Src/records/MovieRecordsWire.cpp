// The field lists of the movie records: key, member, kind of presence, in wire order.
#include "VireoRecords/MovieRecordsWire.h"

namespace VireoServer {
namespace wire {

template <>
struct RecordFields<PixelFormat> {
    static auto const& List() {
        static auto const list = std::make_tuple(
            Field("fourcc", &PixelFormat::fourcc),
            FieldOr("properties", &PixelFormat::properties, PixelFormat::kDefaultWireProperties));
        return list;
    }
};

template <>
struct RecordFields<VideoProperties> {
    static auto const& List() {
        using V = VideoProperties;
        static auto const list = std::make_tuple(
            Field("Duration", &V::Duration), Field("Scale", &V::Scale),
            Field("SampleSize", &V::SampleSize), Field("PAR", &V::PAR),
            Field("FieldType", &V::FieldType), Field("Width", &V::Width),
            Field("Height", &V::Height), Field("PixelDepth", &V::PixelDepth),
            Field("PosterFrame", &V::PosterFrame), Field("CodecFourCC", &V::CodecFourCC),
            Required("SupportedPixelFormats", &V::SupportedPixelFormats),
            Field("CanBeReadAsNativePixelFormat", &V::CanBeReadAsNativePixelFormat),
            Field("VideoCodecNotFound", &V::VideoCodecNotFound),
            Field("HasPulldown", &V::HasPulldown),
            Field("IsAdvancedPulldown", &V::IsAdvancedPulldown),
            Field("PulldownStartIndex", &V::PulldownStartIndex),
            Field("CreationHours", &V::CreationHours),
            Field("CreationMinutes", &V::CreationMinutes),
            Field("CreationSeconds", &V::CreationSeconds), Field("CreationDay", &V::CreationDay),
            Field("CreationMonth", &V::CreationMonth), Field("CreationYear", &V::CreationYear));
        return list;
    }
};

template <>
struct RecordFields<AudioProperties> {
    static auto const& List() {
        using A = AudioProperties;
        static auto const list = std::make_tuple(
            Field("TrackCount", &A::TrackCount), Field("ChannelCount", &A::ChannelCount),
            Field("Duration", &A::Duration), Field("SampleRate", &A::SampleRate),
            Field("SDKSampleType", &A::SDKSampleType), Field("QTFormatID", &A::QTFormatID),
            Required("ChannelLayout", &A::ChannelLayout));
        return list;
    }
};

template <>
struct RecordFields<TimecodeProperties> {
    static auto const& List() {
        using T = TimecodeProperties;
        static auto const list = std::make_tuple(
            Gate("HasTimecode", &T::HasTimecode), Field("OriginalTime", &T::OriginalTime),
            Field("OriginalScale", &T::OriginalScale),
            Field("OriginalSampleSize", &T::OriginalSampleSize),
            Field("AlternateTime", &T::AlternateTime), Field("AlternateScale", &T::AlternateScale),
            Field("AlternateSampleSize", &T::AlternateSampleSize),
            Field("OriginalReel", &T::OriginalReel), Field("AlternateReel", &T::AlternateReel),
            Field("LogComment", &T::LogComment));
        return list;
    }
};

template <>
struct RecordFields<MovieProperties> {
    static auto const& List() {
        using M = MovieProperties;
        static auto const list =
            std::make_tuple(Optional("Video", &M::video), Optional("Audio", &M::audio),
                            Optional("Timecode", &M::timecode));
        return list;
    }
};

template <>
struct RecordFields<OpenMovieFromFileResult> {
    static auto const& List() {
        using O = OpenMovieFromFileResult;
        static auto const list =
            std::make_tuple(Field("MovieIdentifier", &O::MovieIdentifier),
                            Field("ImporterSDKErrorResult", &O::ImporterSDKErrorResult),
                            Optional("MovieProperties", &O::MovieProperties));
        return list;
    }
};

}  // namespace wire
}  // namespace VireoServer

VIREO_DEFINE_WIRE_RECORD(VireoServer::PixelFormat);
VIREO_DEFINE_WIRE_RECORD(VireoServer::VideoProperties);
VIREO_DEFINE_WIRE_RECORD(VireoServer::AudioProperties);
VIREO_DEFINE_WIRE_RECORD(VireoServer::TimecodeProperties);
VIREO_DEFINE_WIRE_RECORD(VireoServer::MovieProperties);
VIREO_DEFINE_WIRE_RECORD(VireoServer::OpenMovieFromFileResult);
