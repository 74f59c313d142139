// Reading and rewriting QuickTime boxes: every size form, damage found rather than followed,
// and a rewrite that gives back the very bytes it read.
#include <gtest/gtest.h>

#include "files/MovieBoxes.h"

namespace vireo::test::files {
namespace {

using namespace server::files;

std::vector<std::uint8_t> Box(std::uint32_t size, char const (&type)[5],
                              std::vector<std::uint8_t> const& payload) {
    std::vector<std::uint8_t> bytes{std::uint8_t(size >> 24), std::uint8_t(size >> 16),
                                    std::uint8_t(size >> 8), std::uint8_t(size)};
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(std::uint8_t(type[i]));
    }
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

std::vector<std::uint8_t> Join(std::vector<std::vector<std::uint8_t>> const& parts) {
    std::vector<std::uint8_t> bytes;
    for (auto const& part : parts) {
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    return bytes;
}

std::vector<BoxType> Types(std::vector<std::uint8_t> const& bytes, bool& damaged) {
    std::vector<BoxType> types;
    BoxCursor cursor(bytes.data(), bytes.size());
    BoxView box;
    while (cursor.Next(box)) {
        types.push_back(box.type);
    }
    damaged = cursor.Damaged();
    return types;
}

TEST(BoxesTest, SizesOfEveryFormAndDamage) {
    bool damaged = false;
    // 32-bit size, 64-bit size, and size 0 (to the end).
    std::vector<std::uint8_t> large = Box(1, "mdat", {0, 0, 0, 0, 0, 0, 0, 20, 9, 9, 9, 9});
    auto const good = Join({Box(10, "free", {1, 2}), large, Box(0, "moov", {7, 7, 7})});
    EXPECT_EQ(Types(good, damaged), (std::vector<BoxType>{MakeBoxType("free"), MakeBoxType("mdat"),
                                                          MakeBoxType("moov")}));
    EXPECT_FALSE(damaged);
    // A 32-bit zero after the last box ends a list cleanly; other stray bytes are damage.
    Types(Join({Box(8, "free", {}), {0, 0, 0, 0}}), damaged);
    EXPECT_FALSE(damaged);
    for (auto const& bad : {
             Join({Box(8, "free", {}), {0, 0, 0, 1, 2}}),  // too short for a header
             Box(7, "free", {}),                           // smaller than its header
             Box(40, "free", {1, 2, 3}),                   // larger than the space
             Box(1, "mdat", {0, 0, 0, 0}),                 // 64-bit size cut off
             Box(1, "mdat", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
         }) {
        Types(bad, damaged);
        EXPECT_TRUE(damaged);
    }
}

TEST(BoxesTest, RewriteGivesBackTheBytesReadAndFollowsChanges) {
    auto const file = Join({
        Box(12, "ftyp", {'q', 't', ' ', ' '}),
        Box(8 + 8 + 12 + 9, "moov",
            Join({Box(8 + 12, "trak", Box(12, "tkhd", {1, 2, 3, 4})), Box(9, "udta", {5})})),
    });
    std::vector<BoxNode> nodes;
    ASSERT_TRUE(ParseBoxes(file.data(), file.size(),
                           {{MakeBoxType("moov"), 0}, {MakeBoxType("trak"), 0}}, nodes));
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(WriteBoxes(nodes), file);
    BoxNode* header = nodes[1].Find({MakeBoxType("trak"), MakeBoxType("tkhd")});
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->Payload(), (std::vector<std::uint8_t>{1, 2, 3, 4}));
    header->SetPayload({9, 8, 7, 6, 5, 4});
    auto const grown = WriteBoxes(nodes);
    EXPECT_EQ(grown, Join({
                         Box(12, "ftyp", {'q', 't', ' ', ' '}),
                         Box(8 + 8 + 14 + 9, "moov",
                             Join({Box(8 + 14, "trak", Box(14, "tkhd", {9, 8, 7, 6, 5, 4})),
                                   Box(9, "udta", {5})})),
                     }));
}

TEST(BoxesTest, TopLevelBoxIsFoundPastLargeBoxes) {
    auto const file = Join({Box(12, "ftyp", {'q', 't', ' ', ' '}),
                            Box(1, "mdat", {0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0, 0}),
                            Box(12, "moov", {1, 2, 3, 4})});
    MemoryByteSource const source(file.data(), file.size());
    TopLevelBox moov;
    ASSERT_EQ(FindTopLevelBox(source, MakeBoxType("moov"), moov), TopLevelScan::kFound);
    EXPECT_EQ(moov.offset, 32u);
    EXPECT_EQ(moov.size, 12u);
    EXPECT_EQ(FindTopLevelBox(source, MakeBoxType("free"), moov), TopLevelScan::kMissing);
    auto cut = file;
    cut.resize(30);
    MemoryByteSource const damaged(cut.data(), cut.size());
    EXPECT_EQ(FindTopLevelBox(damaged, MakeBoxType("moov"), moov), TopLevelScan::kDamaged);
}

}  // namespace
}  // namespace vireo::test::files
