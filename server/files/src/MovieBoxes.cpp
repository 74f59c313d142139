#include "files/MovieBoxes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace vireo::server::files {

std::string BoxTypeText(BoxType type) {
    std::string text(4, '?');
    for (int i = 0; i < 4; ++i) {
        auto const c = static_cast<unsigned char>(type >> (24 - 8 * i));
        if (c >= 0x20 && c < 0x7F) {
            text[std::size_t(i)] = static_cast<char>(c);
        }
    }
    return text;
}

// ByteReader

bool ByteReader::Take(std::size_t count) noexcept {
    if (mFailed || count > mSize - mPosition) {
        mFailed = true;
        mPosition = mSize;
        return false;
    }
    return true;
}

std::uint8_t ByteReader::U8() noexcept {
    if (!Take(1)) {
        return 0;
    }
    return mData[mPosition++];
}

std::uint16_t ByteReader::U16() noexcept {
    if (!Take(2)) {
        return 0;
    }
    std::uint16_t const value = std::uint16_t((mData[mPosition] << 8) | mData[mPosition + 1]);
    mPosition += 2;
    return value;
}

std::uint32_t ByteReader::U32() noexcept {
    if (!Take(4)) {
        return 0;
    }
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value = (value << 8) | mData[mPosition++];
    }
    return value;
}

std::uint64_t ByteReader::U64() noexcept {
    if (!Take(8)) {
        return 0;
    }
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = (value << 8) | mData[mPosition++];
    }
    return value;
}

std::string ByteReader::Bytes(std::size_t count) {
    if (!Take(count)) {
        return {};
    }
    std::string text(reinterpret_cast<char const*>(mData + mPosition), count);
    mPosition += count;
    return text;
}

void ByteReader::Skip(std::size_t count) noexcept {
    if (Take(count)) {
        mPosition += count;
    }
}

// BoxCursor

bool BoxCursor::Next(BoxView& box) noexcept {
    if (mDamaged || mPosition >= mSize) {
        return false;
    }
    std::size_t const left = mSize - mPosition;
    if (left < 8) {
        // Fewer bytes than a header: QuickTime allows a 32-bit zero terminator at the end of a
        // container's children; anything else is damage.
        bool zeros = true;
        for (std::size_t i = 0; i < left; ++i) {
            zeros = zeros && mData[mPosition + i] == 0;
        }
        mDamaged = !(left == 4 && zeros);
        mPosition = mSize;
        return false;
    }
    ByteReader header(mData + mPosition, left);
    std::uint64_t size = header.U32();
    BoxType const type = header.U32();
    std::size_t headerSize = 8;
    if (size == 1) {
        size = header.U64();
        headerSize = 16;
        if (header.Failed()) {
            mDamaged = true;
            return false;
        }
    } else if (size == 0) {
        size = left;
    }
    if (size < headerSize || size > left) {
        mDamaged = true;
        return false;
    }
    box.type = type;
    box.offset = mPosition;
    box.size = std::size_t(size);
    box.headerSize = headerSize;
    box.payload = mData + mPosition + headerSize;
    box.payloadSize = std::size_t(size) - headerSize;
    mPosition += std::size_t(size);
    return true;
}

// BoxNode

BoxNode BoxNode::Leaf(BoxType type, std::vector<std::uint8_t> const& payload) {
    BoxNode node;
    node.type = type;
    node.SetPayload(payload);
    return node;
}

std::vector<std::uint8_t> BoxNode::Payload() const {
    BoxCursor cursor(original.data(), original.size());
    BoxView view;
    if (!cursor.Next(view)) {
        return {};
    }
    return std::vector<std::uint8_t>(view.payload, view.payload + view.payloadSize);
}

void BoxNode::SetPayload(std::vector<std::uint8_t> const& payload) {
    BoxNode leaf;
    leaf.type = type;
    leaf.prefix = payload;
    leaf.container = true;  // written as a header followed by `prefix`
    original.clear();
    AppendBox(leaf, original);
    container = false;
    children.clear();
    prefix.clear();
}

BoxNode* BoxNode::Child(BoxType childType) {
    for (BoxNode& child : children) {
        if (child.type == childType) {
            return &child;
        }
    }
    return nullptr;
}

BoxNode const* BoxNode::Child(BoxType childType) const {
    return const_cast<BoxNode*>(this)->Child(childType);
}

BoxNode* BoxNode::Find(std::initializer_list<BoxType> path) {
    BoxNode* node = this;
    for (BoxType const step : path) {
        node = node->Child(step);
        if (node == nullptr) {
            return nullptr;
        }
    }
    return node;
}

BoxNode const* BoxNode::Find(std::initializer_list<BoxType> path) const {
    return const_cast<BoxNode*>(this)->Find(path);
}

namespace {

bool ParseLevel(std::uint8_t const* data, std::size_t size,
                std::vector<ContainerType> const& containers, std::vector<BoxNode>& nodes,
                int depth) {
    if (depth > kMaxBoxDepth) {
        return false;
    }
    BoxCursor cursor(data, size);
    BoxView view;
    while (cursor.Next(view)) {
        BoxNode node;
        node.type = view.type;
        auto const found = std::find_if(
            containers.begin(), containers.end(),
            [&](ContainerType const& container) { return container.type == view.type; });
        if (found != containers.end() && found->prefixSize <= view.payloadSize) {
            node.container = true;
            node.prefix.assign(view.payload, view.payload + found->prefixSize);
            bool const whole =
                ParseLevel(view.payload + found->prefixSize, view.payloadSize - found->prefixSize,
                           containers, node.children, depth + 1);
            nodes.push_back(std::move(node));
            if (!whole) {
                return false;
            }
            continue;
        }
        node.original.assign(data + view.offset, data + view.offset + view.size);
        nodes.push_back(std::move(node));
    }
    return !cursor.Damaged();
}

void PutU32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[at + std::size_t(i)] = std::uint8_t(value >> (24 - 8 * i));
    }
}

}  // namespace

bool ParseBoxes(std::uint8_t const* data, std::size_t size,
                std::vector<ContainerType> const& containers, std::vector<BoxNode>& nodes) {
    return ParseLevel(data, size, containers, nodes, 0);
}

void AppendBox(BoxNode const& node, std::vector<std::uint8_t>& out) {
    if (!node.container) {
        out.insert(out.end(), node.original.begin(), node.original.end());
        return;
    }
    std::size_t const start = out.size();
    out.resize(start + 8);
    PutU32(out, start + 4, node.type);
    out.insert(out.end(), node.prefix.begin(), node.prefix.end());
    for (BoxNode const& child : node.children) {
        AppendBox(child, out);
    }
    std::uint64_t const size = out.size() - start;
    if (size <= std::numeric_limits<std::uint32_t>::max()) {
        PutU32(out, start, std::uint32_t(size));
        return;
    }
    // Too large for a 32-bit size: size 1 and a 64-bit size after the type.
    std::uint64_t const large = size + 8;
    out.insert(out.begin() + std::ptrdiff_t(start + 8), 8, 0);
    PutU32(out, start, 1);
    PutU32(out, start + 8, std::uint32_t(large >> 32));
    PutU32(out, start + 12, std::uint32_t(large));
}

std::vector<std::uint8_t> WriteBoxes(std::vector<BoxNode> const& nodes) {
    std::vector<std::uint8_t> out;
    for (BoxNode const& node : nodes) {
        AppendBox(node, out);
    }
    return out;
}

// Byte sources

bool MemoryByteSource::ReadAt(std::uint64_t offset, void* out, std::size_t count) const {
    if (offset > mSize || count > mSize - offset) {
        return false;
    }
    std::memcpy(out, mData + offset, count);
    return true;
}

FileByteSource::FileByteSource(int fd) : mFd(fd) {
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size > 0) {
        mSize = std::uint64_t(info.st_size);
    }
}

bool FileByteSource::ReadAt(std::uint64_t offset, void* out, std::size_t count) const {
    if (offset > mSize || count > mSize - offset) {
        return false;
    }
    auto* bytes = static_cast<std::uint8_t*>(out);
    while (count > 0) {
        ssize_t const got = ::pread(mFd, bytes, count, off_t(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        bytes += got;
        count -= std::size_t(got);
        offset += std::uint64_t(got);
    }
    return true;
}

TopLevelScan FindTopLevelBox(ByteSource const& source, BoxType type, TopLevelBox& found) {
    std::uint64_t const end = source.Size();
    std::uint64_t position = 0;
    while (position < end) {
        std::uint64_t const left = end - position;
        if (left < 8) {
            // Trailing bytes too short for a box: tolerated when they are zeros (padding).
            std::uint8_t tail[8] = {};
            if (!source.ReadAt(position, tail, std::size_t(left))) {
                return TopLevelScan::kDamaged;
            }
            bool const zeros =
                std::all_of(tail, tail + left, [](std::uint8_t b) { return b == 0; });
            return zeros ? TopLevelScan::kMissing : TopLevelScan::kDamaged;
        }
        std::uint8_t header[16] = {};
        std::size_t const headerBytes = left >= 16 ? 16 : 8;
        if (!source.ReadAt(position, header, headerBytes)) {
            return TopLevelScan::kDamaged;
        }
        ByteReader reader(header, headerBytes);
        std::uint64_t size = reader.U32();
        BoxType const boxType = reader.U32();
        std::uint32_t headerSize = 8;
        if (size == 1) {
            if (headerBytes < 16) {
                return TopLevelScan::kDamaged;
            }
            size = reader.U64();
            headerSize = 16;
        } else if (size == 0) {
            size = left;
        }
        if (size < headerSize || size > left) {
            return TopLevelScan::kDamaged;
        }
        if (boxType == type) {
            found = TopLevelBox{boxType, position, size, headerSize};
            return TopLevelScan::kFound;
        }
        position += size;
    }
    return TopLevelScan::kMissing;
}

}  // namespace vireo::server::files
