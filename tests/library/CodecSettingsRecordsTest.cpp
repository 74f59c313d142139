// The codec settings records on the wire: their keys and kinds, the defaults of a record against
// the values of keys an answer leaves out, and the round trip through the one converter the
// library and the server share.
#include <gtest/gtest.h>

#include "VireoRecords/CodecSettingsRecordsWire.h"

namespace vireo::test::library {
namespace {

using namespace basekit::serialization;
using VireoServer::VireoConvertCodecSettingsData;
using VireoServer::VireoVideoCodecDialogData;

template <class T>
T Member(boost::any const& object, const char* key) {
    VariantPtr member = GetVariantInObject(object, key);
    EXPECT_TRUE(member) << key;
    return member ? boost::any_cast<T>(*member) : T{};
}

TEST(CodecSettingsRecords, WrittenWithTheirKeysAndKinds) {
    VireoVideoCodecDialogData dialog;
    dialog.mVideoCodecFourCC = -2;
    dialog.mVideoCodecPrivateData = Kino::BinaryData{0xFF, 0x00};
    boost::any const d = JSONConvert<VireoVideoCodecDialogData>::ToJSON(dialog);
    // A signed 32-bit field goes out sign-extended.
    EXPECT_EQ(Member<std::int64_t>(d, "inVideoCodecDialogData.mVideoCodecFourCC"), -2);
    EXPECT_TRUE(Member<bool>(d, "inVideoCodecDialogData.mWasCancelled"));
    EXPECT_EQ(Member<std::string>(d, "inVideoCodecDialogData.mVideoCodecPrivateData"), "/wA=");

    boost::any const c =
        JSONConvert<VireoConvertCodecSettingsData>::ToJSON(VireoConvertCodecSettingsData());
    EXPECT_TRUE(Member<bool>(c, "inConvertSettings.mInIsVideoCodec"));
    EXPECT_EQ(Member<std::int64_t>(c, "inConvertSettings.mInCodecFourCC"), 0);
    EXPECT_EQ(Member<std::string>(c, "inConvertSettings.mInQTAtomContainer"), "");
    EXPECT_EQ(Member<std::string>(c, "inConvertSettings.mOutCodecSettings"), "");
    EXPECT_EQ(Member<std::int64_t>(c, "inConvertSettings.mOutConvertSettingsResultCode"), 2);
}

TEST(CodecSettingsRecords, AbsentKeysAreNotTheDefaults) {
    // A default record is cancelled, a video codec's and result 2; an object without those keys
    // says not cancelled, not a video codec's, result 0.
    VireoVideoCodecDialogData const dialog =
        JSONConvert<VireoVideoCodecDialogData>::FromJSON(VariantObject());
    EXPECT_TRUE(VireoVideoCodecDialogData().mWasCancelled);
    EXPECT_FALSE(dialog.mWasCancelled);
    EXPECT_EQ(dialog.mVideoCodecFourCC, 0);
    EXPECT_TRUE(dialog.mVideoCodecPrivateData.empty());

    VireoConvertCodecSettingsData const convert =
        JSONConvert<VireoConvertCodecSettingsData>::FromJSON(VariantObject());
    EXPECT_FALSE(convert.mInIsVideoCodec);
    EXPECT_EQ(convert.mOutConvertSettingsResultCode, 0);
    EXPECT_EQ(VireoConvertCodecSettingsData().mOutConvertSettingsResultCode, 2);
}

TEST(CodecSettingsRecords, RoundTripAndWrongKinds) {
    VireoConvertCodecSettingsData data;
    data.mInIsVideoCodec = false;
    data.mInCodecFourCC = static_cast<std::int32_t>(0x80000001u);  // high bit set
    data.mInQTAtomContainer = Kino::BinaryData{1, 2, 3, 4, 5};
    data.mOutCodecSettings = Kino::BinaryData{9};
    data.mOutConvertSettingsResultCode = -2310;
    VireoConvertCodecSettingsData const back = JSONConvert<VireoConvertCodecSettingsData>::FromJSON(
        JSONConvert<VireoConvertCodecSettingsData>::ToJSON(data));
    EXPECT_EQ(back.mInIsVideoCodec, data.mInIsVideoCodec);
    EXPECT_EQ(back.mInCodecFourCC, data.mInCodecFourCC);
    EXPECT_EQ(back.mInQTAtomContainer, data.mInQTAtomContainer);
    EXPECT_EQ(back.mOutCodecSettings, data.mOutCodecSettings);
    EXPECT_EQ(back.mOutConvertSettingsResultCode, data.mOutConvertSettingsResultCode);

    boost::any wrong = VariantObject();
    AddToObject(wrong, "inVideoCodecDialogData.mWasCancelled", std::string("yes"));
    EXPECT_THROW(JSONConvert<VireoVideoCodecDialogData>::FromJSON(wrong), boost::bad_any_cast);
    EXPECT_THROW(JSONConvert<VireoVideoCodecDialogData>::FromJSON(std::string("x")),
                 boost::bad_any_cast);
}

}  // namespace
}  // namespace vireo::test::library
