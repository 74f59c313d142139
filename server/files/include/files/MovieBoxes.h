#pragma once
// Reading and rewriting the boxes ("atoms") of QuickTime and MP4 files.
//
// A box is a 32-bit big-endian size, a four-character type, and its payload; size 1 means a
// 64-bit size follows the type, size 0 means "to the end of the enclosing space". Everything here
// is bounds-checked: a size that does not fit its enclosing space, a box too short for its
// header, or nesting deeper than kMaxBoxDepth stops the reading and marks it damaged, and nothing
// reads outside the bytes it was given.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vireo::server::files {

using BoxType = std::uint32_t;

constexpr BoxType MakeBoxType(const char (&text)[5]) noexcept {
    return (BoxType(std::uint8_t(text[0])) << 24) | (BoxType(std::uint8_t(text[1])) << 16) |
           (BoxType(std::uint8_t(text[2])) << 8) | BoxType(std::uint8_t(text[3]));
}

// The four characters of `type`, bytes outside printable ASCII shown as '?'.
std::string BoxTypeText(BoxType type);

// Deeper nesting than this is treated as damage (no real file comes close; a hostile one could
// otherwise recurse without end).
constexpr int kMaxBoxDepth = 32;

// Big-endian fields from a span of bytes. Reading past the end gives 0 and marks the reader
// failed; it never reads outside the span.
class ByteReader {
  public:
    ByteReader(std::uint8_t const* data, std::size_t size) noexcept : mData(data), mSize(size) {}

    std::uint8_t U8() noexcept;
    std::uint16_t U16() noexcept;
    std::uint32_t U32() noexcept;
    std::uint64_t U64() noexcept;
    // `count` bytes as text (may hold any bytes); empty and failed when they are not there.
    std::string Bytes(std::size_t count);
    void Skip(std::size_t count) noexcept;

    std::size_t Position() const noexcept { return mPosition; }
    std::size_t Remaining() const noexcept { return mSize - mPosition; }
    std::uint8_t const* Here() const noexcept { return mData + mPosition; }
    bool Failed() const noexcept { return mFailed; }

  private:
    bool Take(std::size_t count) noexcept;
    std::uint8_t const* mData;
    std::size_t mSize;
    std::size_t mPosition = 0;
    bool mFailed = false;
};

// One box inside a span of bytes: where its header and payload lie.
struct BoxView {
    BoxType type = 0;
    std::size_t offset = 0;      // of the box's first byte, from the start of the span
    std::size_t size = 0;        // of the whole box
    std::size_t headerSize = 0;  // 8, or 16 with a 64-bit size
    std::uint8_t const* payload = nullptr;
    std::size_t payloadSize = 0;
};

// The boxes that follow each other in a span, in order.
class BoxCursor {
  public:
    BoxCursor(std::uint8_t const* data, std::size_t size) noexcept : mData(data), mSize(size) {}

    // The next box, or false at the end of the span or at damage (Damaged() tells which).
    bool Next(BoxView& box) noexcept;
    bool Damaged() const noexcept { return mDamaged; }

  private:
    std::uint8_t const* mData;
    std::size_t mSize;
    std::size_t mPosition = 0;
    bool mDamaged = false;
};

// A box held for rewriting. A box whose type was listed as a container when it was read holds
// its children (and `prefix`: bytes before them, such as a full box's version and flags);
// any other box holds its whole original bytes, header included, and is written back unchanged.
struct BoxNode {
    BoxType type = 0;
    bool container = false;
    std::vector<std::uint8_t> prefix;    // containers: bytes before the first child
    std::vector<BoxNode> children;       // containers
    std::vector<std::uint8_t> original;  // other boxes: the box as read, header included

    // A non-container box of `type` holding `payload`.
    static BoxNode Leaf(BoxType type, std::vector<std::uint8_t> const& payload);

    // The payload of a non-container box (its original bytes past the header).
    std::vector<std::uint8_t> Payload() const;
    void SetPayload(std::vector<std::uint8_t> const& payload);

    BoxNode* Child(BoxType childType);
    BoxNode const* Child(BoxType childType) const;
    // Follows a path of child types; null when a step is missing.
    BoxNode const* Find(std::initializer_list<BoxType> path) const;
    BoxNode* Find(std::initializer_list<BoxType> path);
};

// What a container holds before its children: 0 bytes, or 4 (version and flags) for full boxes
// that contain boxes ('meta', 'dref' has 8: version, flags and an entry count).
struct ContainerType {
    BoxType type;
    std::size_t prefixSize;
};

// Reads the boxes of a span into nodes, descending into the listed container types. False when
// the span is damaged (the nodes then hold what was read before the damage).
bool ParseBoxes(std::uint8_t const* data, std::size_t size,
                std::vector<ContainerType> const& containers, std::vector<BoxNode>& nodes);

// The bytes of one node / of a list of nodes, sizes recomputed (a 64-bit size only where the
// box does not fit 32 bits).
void AppendBox(BoxNode const& node, std::vector<std::uint8_t>& out);
std::vector<std::uint8_t> WriteBoxes(std::vector<BoxNode> const& nodes);

// Random access to the bytes of a whole file, or of a buffer standing for one.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t Size() const = 0;
    // Reads exactly `count` bytes at `offset`; false when they are not all there.
    virtual bool ReadAt(std::uint64_t offset, void* out, std::size_t count) const = 0;
};

class MemoryByteSource : public ByteSource {
  public:
    MemoryByteSource(std::uint8_t const* data, std::size_t size) noexcept
        : mData(data), mSize(size) {}
    std::uint64_t Size() const override { return mSize; }
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count) const override;

  private:
    std::uint8_t const* mData;
    std::size_t mSize;
};

// An open file descriptor (not owned); reads with pread, so it never moves the file position.
class FileByteSource : public ByteSource {
  public:
    explicit FileByteSource(int fd);
    std::uint64_t Size() const override { return mSize; }
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count) const override;

  private:
    int mFd;
    std::uint64_t mSize = 0;
};

// Where a top-level box of a file lies.
struct TopLevelBox {
    BoxType type = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint32_t headerSize = 0;
};

enum class TopLevelScan {
    kFound,
    kMissing,  // the file's boxes end (cleanly) without one of that type
    kDamaged,  // a box header does not fit the file, or the file does not start with a box
};

// Walks the top-level boxes of `source` up to the first box of `type`.
TopLevelScan FindTopLevelBox(ByteSource const& source, BoxType type, TopLevelBox& found);

}  // namespace vireo::server::files
