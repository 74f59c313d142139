#include "WireMovie.h"

#include "basemediatypes/JSONConvert.h"

namespace basekit {
namespace serialization {

using namespace VireoServer;

boost::any JSONConvert<PixelFormat>::ToJSON(PixelFormat const& format) {
    boost::any object = VariantObject();
    AddToObject(object, "fourcc", static_cast<std::uint64_t>(format.fourcc));
    AddToObject(object, "properties", static_cast<std::uint64_t>(format.properties));
    return object;
}

PixelFormat JSONConvert<PixelFormat>::FromJSON(boost::any const& value) {
    auto const& object = AsObject(value);
    PixelFormat format(0, PixelFormat::kDefaultWireProperties);
    ReadField(object, "fourcc", format.fourcc);
    ReadOptional(object, "properties", format.properties);
    return format;
}

VideoProperties JSONConvert<VideoProperties>::FromJSON(boost::any const& value) {
    auto const& o = AsObject(value);
    VideoProperties v;
    ReadField(o, "Duration", v.Duration);
    ReadField(o, "Scale", v.Scale);
    ReadField(o, "SampleSize", v.SampleSize);
    ReadField(o, "PAR", v.PAR);
    ReadField(o, "FieldType", v.FieldType);
    ReadField(o, "Width", v.Width);
    ReadField(o, "Height", v.Height);
    ReadField(o, "PixelDepth", v.PixelDepth);
    ReadField(o, "PosterFrame", v.PosterFrame);
    ReadField(o, "CodecFourCC", v.CodecFourCC);
    ReadRequired(o, "SupportedPixelFormats", v.SupportedPixelFormats);
    ReadField(o, "CanBeReadAsNativePixelFormat", v.CanBeReadAsNativePixelFormat);
    ReadField(o, "VideoCodecNotFound", v.VideoCodecNotFound);
    ReadField(o, "HasPulldown", v.HasPulldown);
    ReadField(o, "IsAdvancedPulldown", v.IsAdvancedPulldown);
    ReadField(o, "PulldownStartIndex", v.PulldownStartIndex);
    ReadField(o, "CreationHours", v.CreationHours);
    ReadField(o, "CreationMinutes", v.CreationMinutes);
    ReadField(o, "CreationSeconds", v.CreationSeconds);
    ReadField(o, "CreationDay", v.CreationDay);
    ReadField(o, "CreationMonth", v.CreationMonth);
    ReadField(o, "CreationYear", v.CreationYear);
    return v;
}

AudioProperties JSONConvert<AudioProperties>::FromJSON(boost::any const& value) {
    auto const& o = AsObject(value);
    AudioProperties a;
    ReadField(o, "TrackCount", a.TrackCount);
    ReadField(o, "ChannelCount", a.ChannelCount);
    ReadField(o, "Duration", a.Duration);
    ReadField(o, "SampleRate", a.SampleRate);
    ReadField(o, "SDKSampleType", a.SDKSampleType);
    ReadField(o, "QTFormatID", a.QTFormatID);
    ReadRequired(o, "ChannelLayout", a.ChannelLayout);
    return a;
}

TimecodeProperties JSONConvert<TimecodeProperties>::FromJSON(boost::any const& value) {
    auto const& o = AsObject(value);
    TimecodeProperties t;
    ReadField(o, "HasTimecode", t.HasTimecode);
    if (!t.HasTimecode) {
        return t;
    }
    ReadField(o, "OriginalTime", t.OriginalTime);
    ReadField(o, "OriginalScale", t.OriginalScale);
    ReadField(o, "OriginalSampleSize", t.OriginalSampleSize);
    ReadField(o, "AlternateTime", t.AlternateTime);
    ReadField(o, "AlternateScale", t.AlternateScale);
    ReadField(o, "AlternateSampleSize", t.AlternateSampleSize);
    ReadField(o, "OriginalReel", t.OriginalReel);
    ReadField(o, "AlternateReel", t.AlternateReel);
    ReadField(o, "LogComment", t.LogComment);
    return t;
}

MovieProperties JSONConvert<MovieProperties>::FromJSON(boost::any const& value) {
    auto const& o = AsObject(value);
    MovieProperties m;
    ReadOptional(o, "Video", m.video);
    ReadOptional(o, "Audio", m.audio);
    ReadOptional(o, "Timecode", m.timecode);
    return m;
}

OpenMovieFromFileResult JSONConvert<OpenMovieFromFileResult>::FromJSON(boost::any const& value) {
    auto const& o = AsObject(value);
    OpenMovieFromFileResult r;
    ReadField(o, "MovieIdentifier", r.MovieIdentifier);
    ReadField(o, "ImporterSDKErrorResult", r.ImporterSDKErrorResult);
    // An absent "MovieProperties" leaves every group at its defaults.
    ReadOptional(o, "MovieProperties", r.MovieProperties);
    return r;
}

}  // namespace serialization
}  // namespace basekit
