#include "MovieWire.h"

#include <algorithm>
#include <limits>
#include <numeric>

#include "Answers.h"
#include "VireoRecords/MovieRecordsWire.h"

namespace vireo::server::movie {

namespace {

using basekit::serialization::JSONConvert;
using basekit::serialization::MakeVariant;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantObject;
using basekit::serialization::VariantPtr;

// The video record counts time in 32 bits; a longer movie reports the largest count.
std::int32_t Clamp32(std::int64_t value) {
    return std::int32_t(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                 std::numeric_limits<std::int32_t>::max()));
}

VireoServer::VideoProperties VideoRecord(vireo::engine::VideoInfo const& video,
                                         vireo::engine::CreationTime const& created) {
    VireoServer::VideoProperties v;
    v.Duration = Clamp32(video.duration);
    v.Scale = video.timeScale;
    v.SampleSize = video.sampleSize;
    v.PAR = basemediatypes::PixelAspectRatio(video.parNumerator, video.parDenominator);
    v.FieldType = video.fieldType;
    v.Width = video.width;
    v.Height = video.height;
    v.PixelDepth = video.depth;
    v.PosterFrame = video.posterFrame;
    v.CodecFourCC = video.codecFourCC;
    for (auto const& format : video.supportedFormats) {
        v.SupportedPixelFormats.emplace_back(format.fourcc, format.properties);
    }
    v.CanBeReadAsNativePixelFormat = video.nativeFormatAvailable;
    v.VideoCodecNotFound = video.codecNotFound;
    v.CreationHours = created.hours;
    v.CreationMinutes = created.minutes;
    v.CreationSeconds = created.seconds;
    v.CreationDay = created.day;
    v.CreationMonth = created.month;
    v.CreationYear = created.year;
    return v;
}

VireoServer::AudioProperties AudioRecord(vireo::engine::AudioInfo const& audio) {
    VireoServer::AudioProperties a;
    a.TrackCount = audio.trackCount;
    a.ChannelCount = audio.channels;
    a.Duration = audio.duration;
    a.SampleRate = audio.sampleRate;
    a.SDKSampleType = audio.sampleType;
    a.QTFormatID = std::int32_t(audio.formatID);
    a.ChannelLayout = audio.channelLayout;
    return a;
}

VireoServer::TimecodeProperties TimecodeRecord(vireo::engine::TimecodeInfo const& timecode) {
    VireoServer::TimecodeProperties t;
    t.HasTimecode = timecode.present;
    if (timecode.present) {
        t.OriginalTime = timecode.start;
        t.OriginalScale = timecode.timeScale;
        t.OriginalSampleSize = timecode.sampleSize;
        t.OriginalReel = timecode.reel;
    }
    return t;
}

}  // namespace

VireoServer::MovieProperties MovieRecord(vireo::engine::MovieInfo const& info) {
    VireoServer::MovieProperties properties;
    if (info.video.present || info.video.codecNotFound) {
        properties.video = VideoRecord(info.video, info.creation);
    }
    if (info.audio.present) {
        properties.audio = AudioRecord(info.audio);
    }
    properties.timecode = TimecodeRecord(info.timecode);
    return properties;
}

VariantObject MoviePropertiesToVariant(vireo::engine::MovieInfo const& info) {
    return boost::any_cast<VariantObject>(
        JSONConvert<VireoServer::MovieProperties>::ToJSON(MovieRecord(info)));
}

VariantPtr OpenMovieAnswer(basekit::utility::Guid const& movieId, std::int32_t error,
                           vireo::engine::MovieInfo const* info) {
    VireoServer::OpenMovieFromFileResult result;
    result.MovieIdentifier = movieId;
    result.ImporterSDKErrorResult = error;
    if (info) {
        result.MovieProperties = MovieRecord(*info);
    }
    return ValueAnswer(JSONConvert<VireoServer::OpenMovieFromFileResult>::ToJSON(result));
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
        return JSONConvert<VireoServer::PixelFormat>::FromJSON(*value).fourcc;
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

}  // namespace vireo::server::movie
