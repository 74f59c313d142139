// Converting stored standard compression settings (QuickTime atom containers built here) into
// the private settings of each export video codec, and every malformed container refused with
// its code. Containers are passed in buffers of exactly their size, so a read past the end is
// caught by the address sanitizer.
#include <gtest/gtest.h>

#include <memory>

#include "AtomBuilder.h"
#include "DialogTestSupport.h"
#include "codecsettings/AtomContainer.h"
#include "codecsettings/CodecSettingsErrors.h"
#include "codecsettings/ConvertSettings.h"
#include "export/Catalogue.h"

namespace vireo::test::codecsettings {
namespace {

// Converts `bytes` from a heap block of exactly their size.
cs::ConversionOutcome Convert(std::vector<std::uint8_t> const& bytes, std::uint32_t codec,
                              bool video = true) {
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    return cs::ConvertCodecSettings(video, codec, bytes.empty() ? nullptr : exact.get(),
                                    bytes.size());
}

// Standard settings of `codec` as QuickTime's dialog stores them.
std::vector<TestAtom> Standard(std::uint32_t codec, std::int32_t keyFrameRate = 0,
                               std::int32_t dataRate = 0) {
    return {Spatial(codec, 24, 512), Temporal(0, 25.0, keyFrameRate), DataRate(dataRate)};
}

TEST(Convert, EveryExportCodecGivesSettingsItsExportReads) {
    ASSERT_FALSE(ex::ExportVideoCodecs().empty());
    for (auto const& info : ex::ExportVideoCodecs()) {
        for (bool withRoot : {true, false}) {
            for (std::uint32_t asked : {info.subType, 0u}) {
                cs::ConversionOutcome const outcome =
                    Convert(Container(Standard(info.subType), withRoot), asked);
                ASSERT_EQ(outcome.result, cs::kConvertOK) << info.name << ": " << outcome.why;
                EXPECT_EQ(outcome.codec, info.subType);
                ex::CodecSettings const back = ReadBack(info.subType, outcome.codecSettings);
                // Nothing beyond the defaults was asked for.
                ex::CodecSettings const defaults = ex::DefaultCodecSettings(info.subType);
                EXPECT_EQ(Text(outcome.codecSettings), Text(ex::WriteCodecSettings(defaults)))
                    << info.name;
                EXPECT_EQ(back.options.size(), ex::CodecOptions(info.subType).size());
            }
        }
    }
}

TEST(Convert, KeyFrameRateDataRateAndReordering) {
    std::uint32_t const h264 = Code("avc1");
    // 250000 bytes/s is 2000 kbit/s.
    std::vector<TestAtom> atoms = Standard(h264, 12, 250000);
    atoms.push_back(Reordering(false));
    cs::ConversionOutcome outcome = Convert(Container(atoms), h264);
    ASSERT_EQ(outcome.result, cs::kConvertOK) << outcome.why;
    ex::CodecSettings back = ReadBack(h264, outcome.codecSettings);
    EXPECT_EQ(back.Number("keyFrameInterval"), 12);
    EXPECT_EQ(back.Choice("rateControl"), "bitrate");
    EXPECT_EQ(back.Number("bitrate"), 2000);
    EXPECT_EQ(back.Number("bFrames"), 0);
    EXPECT_EQ(back.Choice("preset"), "medium");

    // No data rate: constant quality (the export's quality); reordering allowed keeps B-frames.
    outcome = Convert(Container({Spatial(h264, 24, 1024), Temporal(0, 0, 0), Reordering(true)}), 0);
    ASSERT_EQ(outcome.result, cs::kConvertOK) << outcome.why;
    back = ReadBack(h264, outcome.codecSettings);
    EXPECT_EQ(back.Choice("rateControl"), "quality");
    EXPECT_EQ(back.Number("bFrames"), 2);
    EXPECT_EQ(back.Number("keyFrameInterval"), 24);  // 0 asks for nothing: the default

    // Rounded to the nearest kbit/s, down to the least the encoder takes.
    outcome = Convert(Container(Standard(h264, 0, 12438)), h264);  // 99.504 kbit/s
    ASSERT_EQ(outcome.result, cs::kConvertOK) << outcome.why;
    EXPECT_EQ(ReadBack(h264, outcome.codecSettings).Number("bitrate"), 100);

    std::uint32_t const animation = Code("rle ");
    outcome = Convert(Container(Standard(animation, 10000)), animation);
    ASSERT_EQ(outcome.result, cs::kConvertOK) << outcome.why;
    EXPECT_EQ(ReadBack(animation, outcome.codecSettings).Number("keyFrameInterval"), 10000);

    // Intra-only codecs have no key frames to set: any key-frame rate is fine.
    outcome = Convert(Container(Standard(Code("jpeg"), 50000)), Code("jpeg"));
    EXPECT_EQ(outcome.result, cs::kConvertOK) << outcome.why;
}

TEST(Convert, TheCodecsOwnSettingsAreCarriedOver) {
    std::uint32_t const prores = Code("ap4x");
    std::string const own =
        R"({"format":"vireo-codec-settings","version":1,"codec":"ap4x","options":{"quantiser":17}})";
    cs::ConversionOutcome outcome =
        Convert(Container({Spatial(prores, 32, 512), CodecData(own)}), prores);
    ASSERT_EQ(outcome.result, cs::kConvertOK) << outcome.why;
    EXPECT_EQ(ReadBack(prores, outcome.codecSettings).Number("quantiser"), 17);

    // The standard settings apply on top of them.
    std::uint32_t const h264 = Code("avc1");
    std::string const ownH264 = R"({"format":"vireo-codec-settings","version":1,"codec":"avc1",)"
                                R"("options":{"preset":"slow","keyFrameInterval":50}})";
    std::vector<TestAtom> atoms = Standard(h264, 7);
    atoms.push_back(CodecData(ownH264));
    outcome = Convert(Container(atoms), h264);
    ASSERT_EQ(outcome.result, cs::kConvertOK) << outcome.why;
    ex::CodecSettings const back = ReadBack(h264, outcome.codecSettings);
    EXPECT_EQ(back.Choice("preset"), "slow");
    EXPECT_EQ(back.Number("keyFrameInterval"), 7);

    // Another program's private bytes cannot be read: the defaults.
    outcome = Convert(Container({Spatial(prores, 24, 512), CodecData("\x01\x02opaque")}), prores);
    ASSERT_EQ(outcome.result, cs::kConvertOK) << outcome.why;
    EXPECT_EQ(ReadBack(prores, outcome.codecSettings).Number("quantiser"), 0);
}

TEST(Convert, RequestsThatCannotBeConverted) {
    std::vector<std::uint8_t> const h264 = Container(Standard(Code("avc1")));
    struct Case {
        char const* what;
        cs::ConversionOutcome outcome;
        std::int32_t expected;
    };
    std::vector<Case> const cases = {
        {"audio", Convert(h264, Code("aac "), false), cs::kErrConvertNotVideo},
        {"unknown codec asked", Convert(h264, Code("zzzz")), cs::kErrConvertUnknownCodec},
        {"unknown codec stored", Convert(Container(Standard(Code("cvid"))), 0),
         cs::kErrConvertUnknownCodec},
        {"no codec at all", Convert(Container({Temporal(0, 25, 10)}), 0),
         cs::kErrConvertUnknownCodec},
        {"another codec stored", Convert(h264, Code("apcn")), cs::kErrConvertCodecMismatch},
        {"depth 32 without alpha", Convert(Container({Spatial(Code("avc1"), 32, 512)}), 0),
         cs::kErrConvertDepth},
        {"grey where unsupported", Convert(Container({Spatial(Code("jpeg"), 40, 512)}), 0),
         cs::kErrConvertDepth},
        {"thousands of colours", Convert(Container({Spatial(Code("png "), 16, 512)}), 0),
         cs::kErrConvertDepth},
        {"above lossless", Convert(Container({Spatial(Code("avc1"), 24, 1025)}), 0),
         cs::kErrConvertQuality},
        {"negative key-frame rate", Convert(Container(Standard(Code("avc1"), -1)), 0),
         cs::kErrConvertKeyFrameRate},
        {"key-frame rate too high", Convert(Container(Standard(Code("rle "), 10001)), 0),
         cs::kErrConvertKeyFrameRate},
        {"negative data rate", Convert(Container(Standard(Code("avc1"), 0, -5)), 0),
         cs::kErrConvertDataRate},
        {"data rate too low", Convert(Container(Standard(Code("avc1"), 0, 12437)), 0),
         cs::kErrConvertDataRate},
        {"data rate too high", Convert(Container(Standard(Code("avc1"), 0, 100000063)), 0),
         cs::kErrConvertDataRate},
        {"data rate without one", Convert(Container(Standard(Code("apch"), 0, 500000)), 0),
         cs::kErrConvertDataRate},
    };
    for (auto const& c : cases) {
        EXPECT_EQ(c.outcome.result, c.expected) << c.what << ": " << c.outcome.why;
        EXPECT_TRUE(c.outcome.codecSettings.empty()) << c.what;
        EXPECT_FALSE(c.outcome.why.empty()) << c.what;
    }
    // Depths the codecs do write.
    EXPECT_EQ(Convert(Container({Spatial(Code("ap4h"), 32, 512)}), 0).result, cs::kConvertOK);
    EXPECT_EQ(Convert(Container({Spatial(Code("png "), 40, 512)}), 0).result, cs::kConvertOK);
    EXPECT_EQ(Convert(Container({Spatial(Code("avc1"), 0, 0)}), 0).result, cs::kConvertOK);
}

TEST(Convert, TruncatedAtEveryByte) {
    std::vector<TestAtom> atoms = Standard(Code("avc1"), 12, 250000);
    atoms.push_back(Reordering(false));
    atoms.push_back(CodecData("x"));
    std::vector<std::uint8_t> const whole = Container(atoms);
    ASSERT_EQ(Convert(whole, 0).result, cs::kConvertOK);
    for (std::size_t size = 0; size < whole.size(); ++size) {
        std::vector<std::uint8_t> const cut(whole.begin(), whole.begin() + std::ptrdiff_t(size));
        cs::ConversionOutcome const outcome = Convert(cut, Code("avc1"));
        EXPECT_EQ(outcome.result, cs::kErrContainerTruncated) << size << ": " << outcome.why;
    }

    // Without the root, a cut between atoms leaves a shorter container that is whole.
    std::vector<std::uint8_t> const bare = Container(atoms, false);
    std::vector<std::size_t> boundaries;
    std::size_t end = 12;
    for (auto const& atom : atoms) {
        end += Encode(atom).size();
        boundaries.push_back(end);
    }
    for (std::size_t size = 0; size < bare.size(); ++size) {
        std::vector<std::uint8_t> const cut(bare.begin(), bare.begin() + std::ptrdiff_t(size));
        bool const whole_atoms =
            std::find(boundaries.begin(), boundaries.end(), size) != boundaries.end();
        EXPECT_EQ(Convert(cut, Code("avc1")).result,
                  whole_atoms ? cs::kConvertOK : cs::kErrContainerTruncated)
            << size;
    }
}

TEST(Convert, WrongSizesWrongCountsAndRepeats) {
    std::uint32_t const h264 = Code("avc1");
    auto withRoot = [](TestAtom root) {
        std::vector<std::uint8_t> out(12, 0);
        std::vector<std::uint8_t> const bytes = Encode(root);
        out.insert(out.end(), bytes.begin(), bytes.end());
        return out;
    };
    auto root = [](std::vector<TestAtom> children) {
        TestAtom atom;
        atom.type = Code("sean");
        atom.children = std::move(children);
        return atom;
    };
    TestAtom shortSpatial = Spatial(h264, 24, 512);
    shortSpatial.data.resize(10);
    TestAtom tinySize = Temporal(0, 25, 1);
    tinySize.size = 19;
    TestAtom pastParent = Temporal(0, 25, 1);
    pastParent.size = 20 + 12 + 4;
    TestAtom spatialAsParent = Spatial(h264, 24, 512);
    spatialAsParent.childCount = 1;
    TestAtom rootWithData;
    rootWithData.type = Code("sean");
    rootWithData.data = {1, 2, 3};
    TestAtom rootTooLong = root({Spatial(h264, 24, 512)});
    rootTooLong.size = 20 + 34 + 1;
    TestAtom countHigh = root(Standard(h264));
    countHigh.childCount = 4;
    TestAtom countLow = root(Standard(h264));
    countLow.childCount = 2;
    TestAtom nestedCount;
    nestedCount.type = Code("xtra");
    nestedCount.children = {Reordering(true), Reordering(true)};
    nestedCount.children[1].id = 2;
    nestedCount.childCount = 1;
    TestAtom secondSpatial = Spatial(h264, 24, 512);

    std::vector<std::uint8_t> afterRoot = withRoot(root(Standard(h264)));
    std::vector<std::uint8_t> const extra = Encode(Reordering(true));
    afterRoot.insert(afterRoot.end(), extra.begin(), extra.end());

    struct Case {
        char const* what;
        std::vector<std::uint8_t> bytes;
        std::int32_t expected;
    };
    std::vector<Case> const cases = {
        {"spatial record too short", Container({shortSpatial}), cs::kErrAtomSize},
        {"atom size below its header", Container({Spatial(h264, 24, 512), tinySize}),
         cs::kErrAtomSize},
        {"atom past its parent", Container({pastParent, Spatial(h264, 24, 512)}), cs::kErrAtomSize},
        {"settings atom holding atoms", Container({spatialAsParent}), cs::kErrAtomSize},
        {"root holding data", withRoot(rootWithData), cs::kErrAtomSize},
        {"an atom after the root", afterRoot, cs::kErrAtomSize},
        {"root longer than the data", withRoot(rootTooLong), cs::kErrContainerTruncated},
        {"more children counted", withRoot(countHigh), cs::kErrAtomChildCount},
        {"fewer children counted", withRoot(countLow), cs::kErrAtomChildCount},
        {"nested count", Container({Spatial(h264, 24, 512), nestedCount}), cs::kErrAtomChildCount},
        {"an atom twice", Container({Spatial(h264, 24, 512), secondSpatial}),
         cs::kErrDuplicateAtom},
    };
    for (auto const& c : cases) {
        cs::ConversionOutcome const outcome = Convert(c.bytes, h264);
        EXPECT_EQ(outcome.result, c.expected) << c.what << ": " << outcome.why;
        EXPECT_TRUE(outcome.codecSettings.empty()) << c.what;
    }

    // One type under several IDs is allowed: ID 1 counts.
    TestAtom other = Temporal(0, 25, 3);
    other.id = 2;
    cs::ConversionOutcome const outcome =
        Convert(Container({other, Temporal(0, 25, 9), Spatial(h264, 24, 512)}), h264);
    ASSERT_EQ(outcome.result, cs::kConvertOK) << outcome.why;
    EXPECT_EQ(ReadBack(h264, outcome.codecSettings).Number("keyFrameInterval"), 9);

    // A container with nothing in it, and unknown atoms, leave the defaults.
    TestAtom unknown;
    unknown.type = Code("wndw");
    unknown.data = {0, 1, 0, 1};
    EXPECT_EQ(Convert(Container({}), h264).result, cs::kConvertOK);
    // The header alone is a container cut short.
    EXPECT_EQ(Convert(std::vector<std::uint8_t>(12, 0), h264).result, cs::kErrContainerTruncated);
    EXPECT_EQ(Convert(Container({unknown}), h264).result, cs::kConvertOK);
}

TEST(Convert, Limits) {
    std::uint32_t const h264 = Code("avc1");
    // Nested 16 deep (the root is the first level) is read; 17 is not.
    auto nested = [](int levels) {
        TestAtom atom = Reordering(true);
        for (int i = 1; i < levels; ++i) {
            TestAtom parent;
            parent.type = Code("nest");
            parent.children = {atom};
            atom = parent;
        }
        return Container({atom});
    };
    EXPECT_EQ(Convert(nested(15), h264).result, cs::kConvertOK);
    EXPECT_EQ(Convert(nested(16), h264).result, cs::kErrContainerLimits);

    std::vector<TestAtom> many;
    for (std::uint32_t i = 0; i < cs::kMaxAtoms; ++i) {
        TestAtom atom;
        atom.type = Code("many");
        atom.id = i + 1;
        many.push_back(atom);
    }
    EXPECT_EQ(Convert(Container(many, false), h264).result, cs::kConvertOK);
    many.pop_back();  // with the root, one fewer fits
    EXPECT_EQ(Convert(Container(many), h264).result, cs::kConvertOK);
    many.push_back(many.back());
    many.back().id = 99999;
    EXPECT_EQ(Convert(Container(many), h264).result, cs::kErrContainerLimits);

    std::vector<std::uint8_t> big =
        Container({CodecData(std::string(cs::kMaxContainerBytes, 'x'))});
    EXPECT_EQ(Convert(big, h264).result, cs::kErrContainerLimits);
}

}  // namespace
}  // namespace vireo::test::codecsettings
