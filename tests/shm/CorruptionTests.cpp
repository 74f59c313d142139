// Hostile or broken input: block headers, publication messages, frame headers.
#include <sys/stat.h>

#include <boost/make_shared.hpp>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "Fixture.h"
#include "Pix/FrameLayout.h"
#include "Pix/Pix.h"
#include "Segment.h"

namespace vireo::test::shm {
namespace {

using basekit::utility::Guid;

using ShmCorruption = WithPeer;

TEST_F(ShmCorruption, BadBlocksAndMessagesAreRejectedAsCorrupt) {
    const char* const fields[] = {
        "magic",          "version",  "headerSmall",  "headerLarge",    "headerOdd",
        "flags",          "capacity", "ownerPid",     "mode",           "truncated",
        "offsetInHeader", "pastEnd",  "sizeOverflow", "offsetOverflow", "namePid",
        "nameBad",        "missing",  "negativeSize", "headerHuge",     "capacityOverLimit",
        "capacityWraps",  "sparse",   "fifo"};
    for (const char* field : fields) {
        SCOPED_TRACE(field);
        Waiter waiter;
        ASSERT_EQ(0,
                  Request(Guid::CreateUnique(), waiter, {{"mode", "corrupt"}, {"field", field}}));
        ASSERT_TRUE(waiter.Wait());
        EXPECT_EQ(crossprocess::kStatusCorrupt, waiter.Status());
        EXPECT_FALSE(waiter.Ref());
    }
    // A block that does not exist is a failure, not corruption.
    Waiter absent;
    ASSERT_EQ(0, Request(Guid::CreateUnique(), absent, {{"mode", "corrupt"}, {"field", "absent"}}));
    ASSERT_TRUE(absent.Wait());
    EXPECT_EQ(crossprocess::kStatusFailed, absent.Status());
    // The valid control case passes, so the rejections above are the checks' doing.
    Waiter valid;
    ASSERT_EQ(0, Request(Guid::CreateUnique(), valid, {{"mode", "corrupt"}, {"field", "none"}}));
    ASSERT_TRUE(valid.Wait());
    EXPECT_EQ(crossprocess::kStatusOK, valid.Status());
    EXPECT_EQ(1024u, valid.Ref()->GetSize());
}

// Bytes of this process's mappings of files whose path contains `part`, from /proc/self/maps.
std::vector<std::uint64_t> MappingSizes(std::string const& part) {
    std::vector<std::uint64_t> sizes;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find(part) == std::string::npos) {
            continue;
        }
        std::istringstream fields(line);
        std::uint64_t begin = 0;
        std::uint64_t end = 0;
        char dash = 0;
        fields >> std::hex >> begin >> dash >> end;
        sizes.push_back(end - begin);
    }
    return sizes;
}

TEST_F(ShmCorruption, OnlyWhatTheHeaderNamesIsMappedAndNothingIsAllocatedForAPeer) {
    std::string const peerSegments = "/dev/shm/" + TestPrefix() + "-" + std::to_string(peer.Pid());
    // An 8 MiB segment whose header names a 64 KiB data area: the rest is never mapped.
    Waiter big;
    ASSERT_EQ(0, Request(Guid::CreateUnique(), big, {{"mode", "corrupt"}, {"field", "bigFile"}}));
    ASSERT_TRUE(big.Wait());
    ASSERT_EQ(crossprocess::kStatusOK, big.Status());
    std::vector<std::uint64_t> const sizes = MappingSizes(peerSegments);
    ASSERT_EQ(1u, sizes.size());
    EXPECT_EQ(crossprocess::detail::kBlockHeaderSize + 65536u, sizes[0]);

    // A 1 GiB segment with holes: refused before it is mapped, so populating it never makes
    // this process allocate the peer's gigabyte.
    Waiter sparse;
    ASSERT_EQ(0, Request(Guid::CreateUnique(), sparse, {{"mode", "corrupt"}, {"field", "sparse"}}));
    ASSERT_TRUE(sparse.Wait());
    EXPECT_EQ(crossprocess::kStatusCorrupt, sparse.Status());
    EXPECT_EQ(1u, MappingSizes(peerSegments).size());
    for (auto const& name : SegmentsOf(peer.Pid())) {
        struct stat st {};
        ASSERT_EQ(0, stat(("/dev/shm/" + name).c_str(), &st));
        EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512u, std::uint64_t{16} << 20) << name;
    }
}

TEST(ShmSegmentNames, OnlyOurOwnNameFormIsAccepted) {
    std::int64_t pid = 0;
    EXPECT_TRUE(
        crossprocess::detail::ParseSegmentName("/vireo-123-0123456789abcdef0123456789abcdef", pid));
    EXPECT_EQ(123, pid);
    for (const char* bad :
         {"/vireo--0123456789abcdef0123456789abcdef", "/vireo-0-0123456789abcdef0123456789abcdef",
          "/vireo-12-0123456789abcdef0123456789abcde", "/vireo-12-0123456789abcdef0123456789abcdeg",
          "/vireo-12-0123456789ABCDEF0123456789abcdef",
          "/vireo-12-0123456789abcdef0123456789abcdef0",
          "/vireo-99999999999-0123456789abcdef0123456789abcdef", "/vireo-12-../x", "",
          "/-12-0123456789abcdef0123456789abcdef", "/a/b-12-0123456789abcdef0123456789abcdef",
          "/averyveryverylongprefix-12-0123456789abcdef0123456789abcdef"}) {
        EXPECT_FALSE(crossprocess::detail::ParseSegmentName(bad, pid)) << bad;
    }
    // A peer's name may carry another prefix; this process makes, scans and reclaims only its
    // own.
    std::string prefix;
    EXPECT_TRUE(crossprocess::detail::ParseSegmentName(
        "/other.Prefix_1-77-0123456789abcdef0123456789abcdef", pid, &prefix));
    EXPECT_EQ("other.Prefix_1", prefix);
    EXPECT_EQ(77, pid);
    EXPECT_FALSE(crossprocess::detail::ParseOwnSegmentName(
        "/other.Prefix_1-77-0123456789abcdef0123456789abcdef", pid));
    EXPECT_EQ(TestPrefix(), crossprocess::detail::SegmentPrefix());
    std::string const own = "/" + TestPrefix() + "-77-0123456789abcdef0123456789abcdef";
    EXPECT_TRUE(crossprocess::detail::ParseOwnSegmentName(own, pid));
}

// Bytes in this process's memory, standing in for a received reference.
class BufferReference : public crossprocess::BinaryReference {
  public:
    explicit BufferReference(std::vector<std::uint8_t> bytes) : mBytes(std::move(bytes)) {}
    std::uint64_t GetSize() const override { return mBytes.size(); }
    const void* GetData() override {
        ++outstanding;
        return mBytes.data();
    }
    void ReleaseData(const void* data) override {
        EXPECT_EQ(mBytes.data(), data);
        --outstanding;
    }
    int outstanding = 0;

  private:
    std::vector<std::uint8_t> mBytes;
};

Pix::FrameHeader ValidHeader() {
    Pix::FrameHeader h{};
    h.magic = Pix::kFrameMagic;
    h.version = Pix::kFrameVersion;
    h.headerSize = sizeof(Pix::FrameHeader);
    h.width = 10;
    h.height = 4;
    h.rowBytes = 64;
    h.fourcc = Kino::kPixelFormat_BGRA;
    h.properties = 8;
    h.parNumerator = 10;
    h.parDenominator = 11;
    h.fieldOrder = Kino::kFieldOrder_LowerFirst;
    h.dataOffset = 64;
    h.dataSize = 64 * 4;
    return h;
}

int Wrap(Pix::FrameHeader const& header, std::size_t size, InterfaceRef<Kino::IVideoFrame>& frame,
         int* outstanding = nullptr) {
    std::vector<std::uint8_t> bytes(size, 0xAB);
    std::memcpy(bytes.data(), &header, std::min(size, sizeof(header)));
    auto ref = boost::make_shared<BufferReference>(std::move(bytes));
    int const result = Pix::WrapVideoFrameAroundBinaryReference(ref, Guid::CreateUnique(), frame);
    if (outstanding) {
        *outstanding = ref->outstanding;
    }
    return result;
}

TEST(ShmFrameHeader, EveryFieldIsCheckedAgainstTheReceivedSize) {
    using H = Pix::FrameHeader;
    struct Case {
        const char* name;
        void (*spoil)(H&);
        std::size_t size;
    } const cases[] = {
        {"magic", [](H& h) { h.magic ^= 1; }, 320},
        {"version", [](H& h) { h.version = 2; }, 320},
        {"headerSize small", [](H& h) { h.headerSize = 32; }, 320},
        {"headerSize past end", [](H& h) { h.headerSize = 1000; }, 320},
        {"width 0", [](H& h) { h.width = 0; }, 320},
        {"height 0", [](H& h) { h.height = 0; }, 320},
        {"width huge", [](H& h) { h.width = Pix::kMaxDimension + 1; }, 320},
        {"height huge", [](H& h) { h.height = 0xFFFFFFFFu; }, 320},
        {"rowBytes below minimum", [](H& h) { h.rowBytes = 39; }, 320},
        {"unknown fourcc", [](H& h) { h.fourcc = Kino::MakeFourCC("abcd"); }, 320},
        {"par half known", [](H& h) { h.parDenominator = 0; }, 320},
        {"field order", [](H& h) { h.fieldOrder = 7; }, 320},
        {"reserved", [](H& h) { h.reserved = 1; }, 320},
        {"data inside header", [](H& h) { h.dataOffset = 8; }, 320},
        {"data past end", [](H& h) { h.dataSize = 257; }, 320},
        {"data offset past end", [](H& h) { h.dataOffset = 400; }, 320},
        {"data offset overflow", [](H& h) { h.dataOffset = UINT64_MAX - 100; }, 320},
        {"data size overflow", [](H& h) { h.dataSize = UINT64_MAX; }, 320},
        {"data smaller than rows", [](H& h) { h.dataSize = 64 * 3; }, 320},
        {"rows overflow",
         [](H& h) {
             h.rowBytes = 0xFFFFFFFFu;
             h.height = 32768;
         },
         320},
        {"short block", [](H&) {}, 40},
        {"block shorter than data", [](H&) {}, 319},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        H header = ValidHeader();
        c.spoil(header);
        InterfaceRef<Kino::IVideoFrame> frame;
        int outstanding = -1;
        EXPECT_LT(Wrap(header, c.size, frame, &outstanding), 0);
        EXPECT_FALSE(frame);
        EXPECT_EQ(0, outstanding) << "every pointer taken is given back";
    }
    InterfaceRef<Kino::IVideoFrame> frame;
    EXPECT_LT(Pix::WrapVideoFrameAroundBinaryReference(nullptr, Guid(), frame), 0);

    // The valid header wraps in place, read-only, and the frame holds the pointer.
    int outstanding = -1;
    ASSERT_EQ(0, Wrap(ValidHeader(), 64 + 256, frame, &outstanding));
    EXPECT_EQ(1, outstanding);
    EXPECT_EQ(basemediatypes::PixelAspectRatio(10, 11), frame->GetPixelAspectRatio());
    EXPECT_EQ(256u, frame->GetDataSize());
    EXPECT_EQ(0xAB, *static_cast<const std::uint8_t*>(frame->GetPixels()));
    EXPECT_FALSE(InterfaceRef<Kino::IWritableVideoFrame>(frame));
}

}  // namespace
}  // namespace vireo::test::shm
