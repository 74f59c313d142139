// The converters of the catalogue and export records: what is written, what an absent key reads
// as, and that what one side writes the other reads back unchanged.
#include <gtest/gtest.h>

#include "VireoRecords/ExportRecordsWire.h"

namespace vireo::test::library {
namespace {

using basekit::serialization::JSONConvert;
using basekit::serialization::VariantObject;

template <class Record>
Record RoundTrip(Record const& record) {
    return JSONConvert<Record>::FromJSON(JSONConvert<Record>::ToJSON(record));
}

TEST(ExportRecords, StartRecordTravelsWhole) {
    VireoServer::StartExportData s;
    s.mFilePath = u"/tmp/\u00e9t\u00e9.mov";
    s.mVideoCodecFourCC = -5;
    s.mVideoFrameRate = 0xFFFFFFFFFFull;
    s.mMaxBitrate = 12.5;
    s.mVideoCodecPrefsData = Kino::BinaryData({0, 1, 255});
    s.mExportMarkers.push_back({10, 20, u"n", u"c", u"ch", u"h", u"t", 1, -2});
    s.mExportCaptions.push_back({30, Kino::BinaryData({0x94, 0x2c})});
    s.mInvertAlpha = true;
    VireoServer::StartExportData const back = RoundTrip(s);
    EXPECT_EQ(back.mFilePath, s.mFilePath);
    EXPECT_EQ(back.mVideoCodecFourCC, -5);
    EXPECT_EQ(back.mVideoFrameRate, s.mVideoFrameRate);
    EXPECT_EQ(back.mMaxBitrate, 12.5);
    EXPECT_EQ(back.mVideoCodecPrefsData, s.mVideoCodecPrefsData);
    ASSERT_EQ(back.mExportMarkers.size(), 1u);
    EXPECT_EQ(back.mExportMarkers[0].mChapterStr, u"ch");
    EXPECT_EQ(back.mExportMarkers[0].mDVDMarkerType, -2);
    ASSERT_EQ(back.mExportCaptions.size(), 1u);
    EXPECT_EQ(back.mExportCaptions[0].mData, s.mExportCaptions[0].mData);
    EXPECT_TRUE(back.mInvertAlpha);

    // Marker keys carry no "in" prefix; every marker field is written.
    auto const written = JSONConvert<VireoServer::ExportMarkerData>::ToJSON(s.mExportMarkers[0]);
    auto const& object = boost::any_cast<VariantObject const&>(written);
    EXPECT_EQ(object.size(), 9u);
    EXPECT_EQ(object.count("ExportMarkerData.mHREFStr"), 1u);
}

TEST(ExportRecords, AnswerRecordsReadAnAbsentResultAsZero) {
    boost::any const empty = VariantObject();
    EXPECT_EQ(
        JSONConvert<VireoServer::ExportFrameReceivedData>::FromJSON(empty).mExporterResultCode, 0);
    EXPECT_EQ(
        JSONConvert<VireoServer::ExportAudioDataReceived>::FromJSON(empty).mExporterResultCode, 0);
    EXPECT_EQ(JSONConvert<VireoServer::ExportCompletedData>::FromJSON(empty).mServerResultCode, 0);
}

TEST(ExportRecords, CodecRecordsNeedTheirArraysButNotTheChannelList) {
    VireoServer::CodecData codec;
    codec.subType = 0x61766331;
    codec.fixedFrameRates = {1001, 1000};
    codec.fixedPARs = {{10, 11}};
    codec.videoDepthsArray = {24, 32};
    codec.codecPixelFormat = 0x32767579;
    auto const back = RoundTrip(codec);
    EXPECT_EQ(back.fixedFrameRates.size(), 2u);
    EXPECT_EQ(std::int64_t(back.fixedFrameRates[1]), 1000);
    EXPECT_EQ(back.fixedPARs, codec.fixedPARs);
    EXPECT_EQ(back.videoDepthsArray, codec.videoDepthsArray);
    EXPECT_EQ(back.codecPixelFormat, codec.codecPixelFormat);

    for (char const* required :
         {"inCodecData.videoDepthsArray", "inCodecData.fixedPARs", "inCodecData.fixedFrameRates"}) {
        boost::any written = JSONConvert<VireoServer::CodecData>::ToJSON(codec);
        boost::any_cast<VariantObject&>(written).erase(required);
        EXPECT_THROW(JSONConvert<VireoServer::CodecData>::FromJSON(written), boost::bad_any_cast)
            << required;
    }

    VariantObject audio;
    audio["inAudioCodecData.supportedSampleRateMax"] =
        basekit::serialization::MakeVariant(std::uint64_t(384000));
    auto const read = JSONConvert<VireoServer::AudioCodecData>::FromJSON(audio);
    EXPECT_EQ(read.supportedSampleRateMax, 384000.0);
    EXPECT_TRUE(read.audioChannelsArray.empty());
}

}  // namespace
}  // namespace vireo::test::library
