// The variant-tree converters: scalar rules, records and sequences, and the converters of
// the media value types and binary data.
#include <gtest/gtest.h>

#include <boost/any.hpp>
#include <cstdint>
#include <tuple>
#include <vector>

#include "Kino/BinaryData.h"
#include "Kino/JSONConvert.h"
#include "basekit/config/Error.h"
#include "basekit/debug/Debug.h"
#include "basekit/serialization/JSONConvert.h"

using namespace basekit::serialization;
using basekit::UTF16String;
using basekit::UTF8String;

namespace vireo::test::foundation {
namespace {

// The kind of the exception is what callers rely on; its text is Boost's.
template <class T>
void ExpectBadCast(boost::any const& v) {
    EXPECT_THROW(JSONConvert<T>::FromJSON(v), boost::bad_any_cast);
}

// A record as the library's wire records are written: every field by its key, one optional.
struct Sample {
    std::int32_t code = -1;
    std::uint32_t fourcc = 0;
    UTF16String name = u"default";
    std::vector<std::int64_t> values;
    bool optionalFlag = true;
};

}  // namespace
}  // namespace vireo::test::foundation

using vireo::test::foundation::Sample;

namespace basekit {
namespace serialization {
template <>
struct JSONConvert<Sample> {
    static boost::any ToJSON(Sample const& s) {
        boost::any object = VariantObject();
        WriteField(object, "inSample.mCode", s.code);
        WriteField(object, "inSample.mFourCC", s.fourcc);
        WriteField(object, "inSample.mName", s.name);
        WriteField(object, "inSample.mValues", s.values);
        WriteField(object, "inSample.mOptionalFlag", s.optionalFlag);
        return object;
    }
    static Sample FromJSON(boost::any const& v) {
        VariantObject const& object = AsObject(v);
        Sample s;
        ReadField(object, "inSample.mCode", s.code);
        ReadField(object, "inSample.mFourCC", s.fourcc);
        ReadField(object, "inSample.mName", s.name);
        ReadRequired(object, "inSample.mValues", s.values);
        ReadOptional(object, "inSample.mOptionalFlag", s.optionalFlag);
        return s;
    }
};
}  // namespace serialization
}  // namespace basekit

namespace vireo::test::foundation {
namespace {

TEST(Converters, IntegersKeepSignAndWidth) {
    boost::any const minusOne = JSONConvert<std::int32_t>::ToJSON(-1);
    ASSERT_EQ(minusOne.type(), typeid(std::int64_t));
    EXPECT_EQ(boost::any_cast<std::int64_t>(minusOne), -1);

    boost::any const allOnes = JSONConvert<std::uint32_t>::ToJSON(0xFFFFFFFFu);
    ASSERT_EQ(allOnes.type(), typeid(std::uint64_t));
    EXPECT_EQ(boost::any_cast<std::uint64_t>(allOnes), 4294967295u);

    // Either kind reads back into either 32-bit field with the same bits.
    EXPECT_EQ(JSONConvert<std::int32_t>::FromJSON(minusOne), -1);
    EXPECT_EQ(JSONConvert<std::int32_t>::FromJSON(allOnes), -1);
    EXPECT_EQ(JSONConvert<std::uint32_t>::FromJSON(minusOne), 0xFFFFFFFFu);
    EXPECT_EQ(JSONConvert<std::uint32_t>::FromJSON(allOnes), 0xFFFFFFFFu);
    // Wider values keep their low 32 bits.
    EXPECT_EQ(JSONConvert<std::uint32_t>::FromJSON(boost::any(std::uint64_t{0x1234567890})),
              0x34567890u);
    EXPECT_EQ(JSONConvert<std::int64_t>::FromJSON(boost::any(std::uint64_t{1} << 63)), INT64_MIN);
    // Reals accept both integer kinds.
    EXPECT_EQ(JSONConvert<double>::FromJSON(boost::any(std::uint64_t{1} << 63)),
              9223372036854775808.0);
    EXPECT_EQ(JSONConvert<float>::FromJSON(boost::any(std::int64_t{-3})), -3.0f);
}

TEST(Converters, WrongKindsThrowTheCastError) {
    ExpectBadCast<std::int32_t>(boost::any(1.5));               // real where an integer belongs
    ExpectBadCast<std::uint64_t>(boost::any(UTF8String("1")));  // text where an integer belongs
    ExpectBadCast<bool>(boost::any(std::int64_t{1}));           // integer where a boolean belongs
    ExpectBadCast<std::int64_t>(boost::any(true));              // boolean where an integer belongs
    ExpectBadCast<UTF16String>(boost::any(std::int64_t{1}));
    ExpectBadCast<Sample>(boost::any(VariantArray()));  // not an object
    ExpectBadCast<std::vector<std::int32_t>>(boost::any(VariantObject()));
}

TEST(Converters, TextAndIdentifiersTravelAsUTF8) {
    boost::any const text = JSONConvert<UTF16String>::ToJSON(u"caf\u00E9");
    EXPECT_EQ(boost::any_cast<UTF8String>(text), "caf\xC3\xA9");
    EXPECT_EQ(JSONConvert<UTF16String>::FromJSON(text), u"caf\u00E9");

    basekit::utility::Guid const id = basekit::utility::Guid::CreateUnique();
    EXPECT_EQ(JSONConvert<basekit::utility::Guid>::FromJSON(
                  JSONConvert<basekit::utility::Guid>::ToJSON(id)),
              id);
    EXPECT_TRUE(
        JSONConvert<basekit::utility::Guid>::FromJSON(boost::any(UTF8String("junk"))).IsNull());
}

TEST(Converters, RecordsReadAbsentKeysAsAbsentValues) {
    Sample original;
    original.code = -5;
    original.fourcc = 0x72707A61;
    original.name = u"clip";
    original.values = {1, -2, 3};
    original.optionalFlag = false;
    Sample const back = JSONConvert<Sample>::FromJSON(JSONConvert<Sample>::ToJSON(original));
    EXPECT_EQ(std::tie(back.code, back.fourcc, back.name, back.values, back.optionalFlag),
              std::tie(original.code, original.fourcc, original.name, original.values,
                       original.optionalFlag));

    // Only the required sequence present: plain fields get the readers' absent values (not the
    // record's defaults); the optional field keeps the value it had.
    boost::any sparse = VariantObject();
    AddToObject(sparse, "inSample.mValues", VariantArray());
    Sample const partial = JSONConvert<Sample>::FromJSON(sparse);
    EXPECT_EQ(partial.code, 0);
    EXPECT_EQ(partial.name, u"");
    EXPECT_TRUE(partial.values.empty());
    EXPECT_TRUE(partial.optionalFlag);

    // The required sequence missing: cast error.
    ExpectBadCast<Sample>(boost::any(VariantObject()));
}

TEST(BinaryData, Base64FollowsTheStandard) {
    // Test vectors of RFC 4648: no padding, one and two padding characters.
    struct Case {
        const char* bytes;
        const char* text;
    };
    Case const cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foobar", "Zm9vYmFy"}};
    for (auto const& c : cases) {
        Kino::BinaryData data(reinterpret_cast<std::uint8_t const*>(c.bytes),
                              std::char_traits<char>::length(c.bytes));
        UTF8String text = "stale";
        EXPECT_EQ(Kino::EncodeBinaryDataToUTF8String(data, text), 0);
        EXPECT_EQ(text, c.text);
        Kino::BinaryData back{9, 9};
        EXPECT_EQ(Kino::DecodeBinaryDataFromUTF8String(text, back), 0);
        EXPECT_EQ(back, data);
    }
}

TEST(BinaryData, TextThatDoesNotDecodeIsRejected) {
    const char* const bad[] = {
        "Zg=", "Zg", "Z===", "Zg==Zg==", "Zm9v!A==", "Zm 9v", "Zh==", "=Zg="};
    for (const char* text : bad) {
        Kino::BinaryData out{1, 2, 3};
        EXPECT_LT(Kino::DecodeBinaryDataFromUTF8String(text, out), 0) << text;
        EXPECT_TRUE(out.empty()) << text;
    }
}

TEST(BinaryData, ConverterThrowsOnBadText) {
    Kino::BinaryData const data{0xDE, 0xAD, 0xBE, 0xEF};
    boost::any const v = JSONConvert<Kino::BinaryData>::ToJSON(data);
    EXPECT_EQ(boost::any_cast<UTF8String>(v), "3q2+7w==");
    EXPECT_EQ(JSONConvert<Kino::BinaryData>::FromJSON(v), data);
    ExpectBadCast<Kino::BinaryData>(boost::any(std::int64_t{1}));

    // Bad text is a contract violation: reported, then thrown as an input error.
    auto previousReport =
        basekit::debug::SetReportHandler([](basekit::debug::Report const&) { return false; });
    EXPECT_THROW(JSONConvert<Kino::BinaryData>::FromJSON(boost::any(UTF8String("not base64"))),
                 basekit::config::Error);
    basekit::debug::SetReportHandler(previousReport);
}

}  // namespace
}  // namespace vireo::test::foundation
