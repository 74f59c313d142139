// The checks of a block a peer names and of the frame inside it: one input is a whole segment
// whose every header field is the fuzzer's, and the range a publication would name in it.
//
// Input: 24 bytes of control, then the segment's first bytes (its block header, then from
// offset 4096 the frame header and pixels when the input is that long).
//   control[0..4)   the segment's size in bytes (at most 4 MiB + 4 KiB)
//   control[4]      bit 0: leave the segment sparse (only what the input fills is reserved);
//                   bit 1: give it group and other read permission
//   control[8..16)  offset of the publication, control[16..24) its size
// A block header whose ownerPid is 0 names this process (the fuzzer cannot know its pid).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "FuzzCheck.h"
#include "Pix/Pix.h"
#include "Segment.h"
#include "crossprocess/CrossProcess.h"

namespace vireo::test::fuzz {
namespace {

template <class T>
T Read(std::uint8_t const* at) {
    T value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

// The bytes a publication names inside a mapped segment, as a reader hands them out.
class RangeReference final : public crossprocess::BinaryReference {
  public:
    RangeReference(std::shared_ptr<crossprocess::detail::MappedSegment> segment,
                   std::uint64_t offset, std::uint64_t size)
        : mSegment(std::move(segment)), mOffset(offset), mSize(size) {}
    std::uint64_t GetSize() const override { return mSize; }
    const void* GetData() override { return mSegment->Base() + mOffset; }
    void ReleaseData(const void*) override {}

  private:
    std::shared_ptr<crossprocess::detail::MappedSegment> mSegment;
    std::uint64_t mOffset;
    std::uint64_t mSize;
};

volatile std::uint64_t gSink = 0;
constexpr std::size_t kControl = 24;
constexpr std::uint64_t kMaxSegment = (std::uint64_t{4} << 20) + 4096;

}  // namespace
}  // namespace vireo::test::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("VIREO_SHM_PREFIX", ("vfz" + std::to_string(getpid())).c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    using namespace vireo::test::fuzz;
    namespace cp = crossprocess::detail;
    if (size < kControl) {
        return 0;
    }
    std::uint64_t const segmentSize = Read<std::uint32_t>(data) % (kMaxSegment + 1);
    bool const sparse = (data[4] & 1) != 0;
    bool const open = (data[4] & 2) != 0;
    std::uint64_t const offset = Read<std::uint64_t>(data + 8);
    std::uint64_t const length = Read<std::uint64_t>(data + 16);
    std::string content(reinterpret_cast<char const*>(data + kControl), size - kControl);
    if (content.size() > segmentSize) {
        content.resize(segmentSize);
    }
    if (content.size() >= sizeof(cp::BlockHeader)) {
        cp::BlockHeader header;
        std::memcpy(&header, content.data(), sizeof(header));
        if (header.ownerPid == 0) {
            header.ownerPid = getpid();
            std::memcpy(content.data(), &header, sizeof(header));
        }
    }

    std::uint8_t random[16];
    std::memcpy(random, basekit::utility::Guid::CreateUnique().GetBytes().data(), 16);
    std::string const name = cp::MakeSegmentName(getpid(), random);
    int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    Require(fd >= 0);
    bool made = open ? fchmod(fd, 0644) == 0 : true;
    if (sparse) {
        made = made && ftruncate(fd, static_cast<off_t>(segmentSize)) == 0 &&
               (content.empty() || posix_fallocate(fd, 0, static_cast<off_t>(content.size())) == 0);
    } else if (segmentSize > 0) {
        made = made && posix_fallocate(fd, 0, static_cast<off_t>(segmentSize)) == 0;
    }
    made = made && (content.empty() || pwrite(fd, content.data(), content.size(), 0) ==
                                           static_cast<ssize_t>(content.size()));
    close(fd);
    Require(made);

    std::shared_ptr<cp::MappedSegment> segment;
    long const status = cp::MappedSegment::Open(name, getpid(), segment);
    shm_unlink(name.c_str());  // the mapping outlives the name
    Require((status == crossprocess::kStatusOK) == (segment != nullptr));
    if (!segment) {
        return 0;
    }
    if (!segment->Covers(offset, length)) {
        return 0;
    }
    // Everything a check let through is readable: touch every page of it.
    std::uint8_t const* bytes = segment->Base() + offset;
    std::uint64_t sum = 0;
    for (std::uint64_t i = 0; i < length; i += 4096) {
        sum += bytes[i];
    }
    if (length > 0) {
        sum += bytes[length - 1];
    }
    // The frame a reader would make of those bytes: every pixel row it hands out is inside.
    auto ref = boost::make_shared<RangeReference>(segment, offset, length);
    InterfaceRef<Kino::IVideoFrame> frame;
    int const wrapped = Pix::WrapVideoFrameAroundBinaryReference(ref, {}, frame);
    Require((wrapped == Pix::kOK) == static_cast<bool>(frame));
    if (frame) {
        auto const* pixels = static_cast<std::uint8_t const*>(frame->GetPixels());
        Require(pixels >= bytes && frame->GetDataSize() <= length &&
                static_cast<std::uint64_t>(pixels - bytes) <= length - frame->GetDataSize());
        Require(std::uint64_t{frame->GetRowBytes()} * frame->GetHeight() <= frame->GetDataSize());
        for (std::uint32_t row = 0; row < frame->GetHeight(); ++row) {
            std::uint8_t const* at = pixels + std::uint64_t{row} * frame->GetRowBytes();
            sum += at[0] + at[frame->GetRowBytes() - 1];
        }
    }
    gSink = sum;  // keeps the reads
    return 0;
}
