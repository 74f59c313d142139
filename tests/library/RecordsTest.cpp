// The movie records: decoding answers (absent keys, optional groups, required arrays)
// and writing them back as the server does, through the one set of converters both sides link.
#include <gtest/gtest.h>

#include "VireoRecords/MovieRecordsWire.h"

namespace vireo::test::library {
namespace {

using namespace basekit::serialization;
using VireoServer::OpenMovieFromFileResult;

boost::any Object(std::initializer_list<std::pair<const char*, boost::any>> members) {
    boost::any object = VariantObject();
    for (auto const& m : members) {
        AddToObject(object, m.first, m.second);
    }
    return object;
}

OpenMovieFromFileResult Decode(boost::any const& answer) {
    OpenMovieFromFileResult result;
    ReadRecord(answer, "value", result);
    return result;
}

TEST(MovieRecords, AnswerWithoutValueOrWithEmptyValueGivesDefaults) {
    for (boost::any answer : {Object({}), Object({{"value", VariantObject()}})}) {
        OpenMovieFromFileResult r = Decode(answer);
        EXPECT_TRUE(r.MovieIdentifier.IsNull());
        EXPECT_EQ(r.ImporterSDKErrorResult, 0);
        EXPECT_EQ(r.MovieProperties.video.Width, 0);
        EXPECT_TRUE(r.MovieProperties.video.SupportedPixelFormats.empty());
        EXPECT_FALSE(r.MovieProperties.timecode.HasTimecode);
    }
}

TEST(MovieRecords, FullAnswerDecodesEveryGroup) {
    boost::any format = Object({{"fourcc", std::uint64_t(0x42475241)}});
    VariantArray formats{MakeVariant(format)};
    boost::any video = Object(
        {{"Width", std::int64_t(1920)},
         {"Height", std::uint64_t(1080)},
         {"Scale", std::int64_t(30000)},
         {"SampleSize", std::int64_t(1001)},
         {"CodecFourCC", std::uint64_t(0x61766331)},
         {"PAR", Object({{"numerator", std::int64_t(10)}, {"denominator", std::int64_t(11)}})},
         {"SupportedPixelFormats", formats},
         {"HasPulldown", true}});
    VariantArray layout{MakeVariant(std::uint64_t(1)), MakeVariant(std::int64_t(2))};
    boost::any audio = Object({{"ChannelCount", std::int64_t(2)},
                               {"SampleRate", std::uint64_t(48000)},
                               {"Duration", std::int64_t(1) << 40},
                               {"ChannelLayout", layout}});
    boost::any timecode =
        Object({{"HasTimecode", true}, {"OriginalTime", std::string("01:00:00:00")}});
    boost::any properties = Object({{"Video", video}, {"Audio", audio}, {"Timecode", timecode}});
    boost::any value =
        Object({{"MovieIdentifier", std::string("{4F9CB3F7-C5DF-4F33-B5A5-784CDF9C3FB9}")},
                {"ImporterSDKErrorResult", std::int64_t(0)},
                {"MovieProperties", properties}});
    OpenMovieFromFileResult r = Decode(Object({{"value", value}}));

    EXPECT_EQ(r.MovieIdentifier.AsUTF8String(), "{4F9CB3F7-C5DF-4F33-B5A5-784CDF9C3FB9}");
    auto const& v = r.MovieProperties.video;
    EXPECT_EQ(v.Width, 1920);
    EXPECT_EQ(v.Height, 1080);
    EXPECT_EQ(v.CodecFourCC, 0x61766331u);
    EXPECT_EQ(v.PAR.GetNumerator(), 10u);
    EXPECT_EQ(v.PAR.GetDenominator(), 11u);
    EXPECT_TRUE(v.HasPulldown);
    ASSERT_EQ(v.SupportedPixelFormats.size(), 1u);
    EXPECT_EQ(v.SupportedPixelFormats[0].fourcc, 0x42475241u);
    // An element without "properties" gets the wire default.
    EXPECT_EQ(v.SupportedPixelFormats[0].properties, 0x3C000u);
    auto const& a = r.MovieProperties.audio;
    EXPECT_EQ(a.ChannelCount, 2);
    EXPECT_EQ(a.SampleRate, 48000.0);  // an integer sample rate reads as the same double
    EXPECT_EQ(a.Duration, std::int64_t(1) << 40);
    EXPECT_EQ(a.ChannelLayout, (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(r.MovieProperties.timecode.OriginalTime, "01:00:00:00");
}

TEST(MovieRecords, RequiredArraysMissingFailWithBadCast) {
    // "Video" present without "SupportedPixelFormats".
    boost::any noFormats =
        Object({{"MovieProperties", Object({{"Video", Object({{"Width", std::int64_t(1)}})}})}});
    EXPECT_THROW(Decode(Object({{"value", noFormats}})), boost::bad_any_cast);
    // "Audio" present without "ChannelLayout".
    boost::any noLayout = Object({{"MovieProperties", Object({{"Audio", Object({})}})}});
    EXPECT_THROW(Decode(Object({{"value", noLayout}})), boost::bad_any_cast);
    // An empty formats array is fine.
    boost::any empty =
        Object({{"MovieProperties",
                 Object({{"Video", Object({{"SupportedPixelFormats", VariantArray()}})}})}});
    EXPECT_TRUE(
        Decode(Object({{"value", empty}})).MovieProperties.video.SupportedPixelFormats.empty());
}

template <class R>
boost::any Write(R const& record) {
    return JSONConvert<R>::ToJSON(record);
}

OpenMovieFromFileResult FullResult() {
    OpenMovieFromFileResult r;
    r.MovieIdentifier = basekit::utility::Guid::CreateUnique();
    r.ImporterSDKErrorResult = -7;
    auto& v = r.MovieProperties.video;
    v.Duration = -1;
    v.Width = 1920;
    v.PAR = basemediatypes::PixelAspectRatio(40, 33);
    v.CodecFourCC = 0xFFFFFFFEu;
    v.SupportedPixelFormats = {{0x32767579u, 0x3C000u}, {0x42475241u, 0x80000020u}};
    v.CreationYear = 2024;
    auto& a = r.MovieProperties.audio;
    a.Duration = std::int64_t(1) << 40;
    a.SampleRate = 44100.5;
    a.ChannelLayout = {0xFFFFFFFFu, 2};
    auto& t = r.MovieProperties.timecode;
    t.HasTimecode = true;
    t.OriginalTime = "01:00:00;02";
    t.LogComment = "\xC3\xA9t\xC3\xA9";
    return r;
}

TEST(MovieRecords, WhatIsWrittenReadsBackTheSame) {
    OpenMovieFromFileResult const r = FullResult();
    boost::any const wire = Write(r);
    OpenMovieFromFileResult const back = JSONConvert<OpenMovieFromFileResult>::FromJSON(wire);
    EXPECT_TRUE(SameVariant(Write(back), wire));
    EXPECT_EQ(back.MovieIdentifier, r.MovieIdentifier);
    EXPECT_EQ(back.ImporterSDKErrorResult, -7);
    EXPECT_EQ(back.MovieProperties.video.Duration, -1);
    EXPECT_EQ(back.MovieProperties.video.CodecFourCC, 0xFFFFFFFEu);
    EXPECT_EQ(back.MovieProperties.video.SupportedPixelFormats[1].properties, 0x80000020u);
    EXPECT_EQ(back.MovieProperties.audio.SampleRate, 44100.5);
    EXPECT_EQ(back.MovieProperties.audio.ChannelLayout[0], 0xFFFFFFFFu);
    EXPECT_EQ(back.MovieProperties.timecode.LogComment, r.MovieProperties.timecode.LogComment);
    // Signed fields travel as signed integers, unsigned ones as unsigned integers.
    auto const& video = AsObject(*AsObject(*AsObject(wire).at("MovieProperties")).at("Video"));
    EXPECT_EQ(boost::any_cast<std::int64_t>(*video.at("Duration")), -1);
    EXPECT_EQ(boost::any_cast<std::uint64_t>(*video.at("CodecFourCC")), 0xFFFFFFFEu);
    auto const& formats = boost::any_cast<VariantArray const&>(*video.at("SupportedPixelFormats"));
    EXPECT_EQ(boost::any_cast<std::uint64_t>(*AsObject(*formats[1]).at("properties")), 0x80000020u);
}

TEST(MovieRecords, GroupsAtTheirDefaultsAndGatedTimecodeFieldsAreLeftOut) {
    // A movie with only audio: no "Video", no "Timecode".
    OpenMovieFromFileResult r;
    r.MovieProperties.audio.ChannelCount = 2;
    boost::any const audioOnly = Write(r);
    auto const& properties = AsObject(*AsObject(audioOnly).at("MovieProperties"));
    EXPECT_FALSE(ObjectHasProperty(properties, "Video"));
    EXPECT_TRUE(ObjectHasProperty(properties, "Audio"));
    EXPECT_FALSE(ObjectHasProperty(properties, "Timecode"));
    // Nothing but the answer code: no "MovieProperties" at all, and it reads back the same.
    OpenMovieFromFileResult failed;
    failed.ImporterSDKErrorResult = 5;
    boost::any const wire = Write(failed);
    EXPECT_FALSE(ObjectHasProperty(wire, "MovieProperties"));
    EXPECT_EQ(JSONConvert<OpenMovieFromFileResult>::FromJSON(wire).ImporterSDKErrorResult, 5);
    // Timecode fields are written, and read, only while "HasTimecode" is true.
    VireoServer::TimecodeProperties timecode;
    timecode.OriginalTime = "stale";
    boost::any const gated = Write(timecode);
    EXPECT_EQ(AsObject(gated).size(), 1u);
    EXPECT_FALSE(boost::any_cast<bool>(*AsObject(gated).at("HasTimecode")));
    boost::any ungated = Object({{"HasTimecode", false},
                                 {"OriginalTime", std::string("01:00:00:00")},
                                 {"OriginalScale", std::int64_t(25)}});
    auto const read = JSONConvert<VireoServer::TimecodeProperties>::FromJSON(ungated);
    EXPECT_TRUE(read.OriginalTime.empty());
    EXPECT_EQ(read.OriginalScale, 0);
}

}  // namespace
}  // namespace vireo::test::library
