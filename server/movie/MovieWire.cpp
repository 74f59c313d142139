#include "MovieWire.h"

#include <algorithm>
#include <limits>
#include <numeric>

#include "basekit/serialization/JSONConvert.h"
#include "basemediatypes/JSONConvert.h"

namespace vireoserver::movie {

namespace {

using basekit::serialization::JSONConvert;
using basekit::serialization::MakeVariant;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantObject;
using basekit::serialization::VariantPtr;

template <class T>
void Put(VariantObject& object, const char* key, T const& value) {
    object[key] = MakeVariant(JSONConvert<T>::ToJSON(value));
}

// The video record counts time in 32 bits; a longer movie reports the largest count.
std::int32_t Clamp32(std::int64_t value) {
    return std::int32_t(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                 std::numeric_limits<std::int32_t>::max()));
}

VariantObject VideoToVariant(vireo::engine::VideoInfo const& video,
                             vireo::engine::CreationTime const& created) {
    VariantObject v;
    Put(v, "Duration", Clamp32(video.duration));
    Put(v, "Scale", video.timeScale);
    Put(v, "SampleSize", video.sampleSize);
    v["PAR"] = MakeVariant(JSONConvert<basemediatypes::PixelAspectRatio>::ToJSON(
        basemediatypes::PixelAspectRatio(video.parNumerator, video.parDenominator)));
    Put(v, "FieldType", video.fieldType);
    Put(v, "Width", video.width);
    Put(v, "Height", video.height);
    Put(v, "PixelDepth", video.depth);
    Put(v, "PosterFrame", video.posterFrame);
    Put(v, "CodecFourCC", video.codecFourCC);
    VariantArray formats;
    for (auto const& format : video.supportedFormats) {
        VariantObject f;
        f["fourcc"] = MakeVariant(std::uint64_t(format.fourcc));
        f["properties"] = MakeVariant(std::uint64_t(format.properties));
        formats.push_back(MakeVariant(f));
    }
    v["SupportedPixelFormats"] = MakeVariant(formats);
    Put(v, "CanBeReadAsNativePixelFormat", video.nativeFormatAvailable);
    Put(v, "VideoCodecNotFound", video.codecNotFound);
    Put(v, "HasPulldown", false);
    Put(v, "IsAdvancedPulldown", false);
    Put(v, "PulldownStartIndex", std::int32_t(0));
    Put(v, "CreationHours", created.hours);
    Put(v, "CreationMinutes", created.minutes);
    Put(v, "CreationSeconds", created.seconds);
    Put(v, "CreationDay", created.day);
    Put(v, "CreationMonth", created.month);
    Put(v, "CreationYear", created.year);
    return v;
}

VariantObject AudioToVariant(vireo::engine::AudioInfo const& audio) {
    VariantObject a;
    Put(a, "TrackCount", audio.trackCount);
    Put(a, "ChannelCount", audio.channels);
    Put(a, "Duration", audio.duration);
    Put(a, "SampleRate", audio.sampleRate);
    Put(a, "SDKSampleType", audio.sampleType);
    Put(a, "QTFormatID", std::int32_t(audio.formatID));
    Put(a, "ChannelLayout", audio.channelLayout);
    return a;
}

VariantObject TimecodeToVariant(vireo::engine::TimecodeInfo const& timecode) {
    VariantObject t;
    Put(t, "HasTimecode", timecode.present);
    if (!timecode.present)
        return t;
    Put(t, "OriginalTime", timecode.start);
    Put(t, "OriginalScale", timecode.timeScale);
    Put(t, "OriginalSampleSize", timecode.sampleSize);
    Put(t, "AlternateTime", std::string());
    Put(t, "AlternateScale", std::int32_t(0));
    Put(t, "AlternateSampleSize", std::int32_t(0));
    Put(t, "OriginalReel", timecode.reel);
    Put(t, "AlternateReel", std::string());
    Put(t, "LogComment", std::string());
    return t;
}

}  // namespace

VariantObject MoviePropertiesToVariant(vireo::engine::MovieInfo const& info) {
    VariantObject properties;
    if (info.video.present || info.video.codecNotFound)
        properties["Video"] = MakeVariant(VideoToVariant(info.video, info.creation));
    if (info.audio.present)
        properties["Audio"] = MakeVariant(AudioToVariant(info.audio));
    properties["Timecode"] = MakeVariant(TimecodeToVariant(info.timecode));
    return properties;
}

VariantPtr ValueAnswer(boost::any value) {
    VariantObject answer;
    answer["value"] = MakeVariant(std::move(value));
    return MakeVariant(answer);
}

Arguments::Arguments(VariantPtr const& params) {
    mArray = params ? boost::any_cast<VariantArray>(params.get()) : nullptr;
    mFailed = mArray == nullptr;
}

VariantPtr Arguments::At(std::size_t index) {
    if (!mArray || index >= mArray->size() || !(*mArray)[index]) {
        mFailed = true;
        return VariantPtr();
    }
    return (*mArray)[index];
}

std::string Arguments::Text(std::size_t index) {
    VariantPtr value = At(index);
    auto const* text = value ? boost::any_cast<std::string>(value.get()) : nullptr;
    if (!text) {
        mFailed = true;
        return std::string();
    }
    return *text;
}

basekit::utility::Guid Arguments::Id(std::size_t index) {
    std::string text = Text(index);
    return mFailed ? basekit::utility::Guid() : basekit::utility::Guid(text.c_str());
}

std::int64_t Arguments::Integer(std::size_t index) {
    VariantPtr value = At(index);
    try {
        return value ? JSONConvert<std::int64_t>::FromJSON(*value) : 0;
    } catch (boost::bad_any_cast const&) {
        mFailed = true;
        return 0;
    }
}

bool Arguments::Flag(std::size_t index) {
    if (!mArray || index >= mArray->size() || !(*mArray)[index])
        return false;
    auto const* flag = boost::any_cast<bool>((*mArray)[index].get());
    if (!flag)
        mFailed = true;
    return flag && *flag;
}

std::uint32_t Arguments::FourCC(std::size_t index) {
    VariantPtr value = At(index);
    try {
        if (!value)
            return 0;
        auto const& object = basekit::serialization::AsObject(*value);
        return basekit::serialization::ReadValue<std::uint32_t>(object, "fourcc");
    } catch (boost::bad_any_cast const&) {
        mFailed = true;
        return 0;
    }
}

void ScaledPixelAspect(std::uint32_t& numerator, std::uint32_t& denominator,
                       std::int32_t sourceWidth, std::int32_t sourceHeight, std::int32_t width,
                       std::int32_t height) {
    if (numerator == 0 || denominator == 0 || sourceWidth <= 0 || sourceHeight <= 0 || width <= 0 ||
        height <= 0)
        return;
    // Shown shape: sourceWidth * par / sourceHeight == width * par' / height, so
    // par' = par * (sourceWidth * height) / (sourceHeight * width).
    std::uint64_t a = std::uint64_t(sourceWidth) * std::uint64_t(height);
    std::uint64_t b = std::uint64_t(sourceHeight) * std::uint64_t(width);
    std::uint64_t g = std::gcd(a, b);
    a /= g;
    b /= g;
    std::uint64_t n = numerator, d = denominator;
    std::uint64_t g1 = std::gcd(n, b), g2 = std::gcd(a, d);
    n /= g1, b /= g1, a /= g2, d /= g2;
    constexpr std::uint64_t kLimit = 0xFFFFFFFFu;
    if (a <= kLimit / n && b <= kLimit / d) {
        numerator = std::uint32_t(n * a);
        denominator = std::uint32_t(d * b);
        return;
    }
    // Terms too large for 32 bits: the nearest ratio over 10000.
    double value = double(n) / double(d) * double(a) / double(b);
    double scaled = value * 10000.0 + 0.5;
    if (scaled < 1.0 || scaled > double(kLimit))
        return;
    std::uint32_t top = std::uint32_t(scaled);
    std::uint32_t common = std::gcd(top, 10000u);
    numerator = top / common;
    denominator = 10000u / common;
}

}  // namespace vireoserver::movie
