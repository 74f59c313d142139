#include "AliasRecord.h"

#include <vector>

#include "basekit/utility/Text.h"
#include "files/MovieBoxes.h"

namespace vireo::server::files {

namespace {

constexpr std::uint16_t kVersion = 2;
constexpr std::uint16_t kUnknownLevels = 0xFFFF;
// More levels than any real folder tree has; such a count is treated as unknown.
constexpr std::uint16_t kMaxLevels = 255;

enum ExtraTag : std::int16_t {
    kParentName = 0,
    kColonPath = 2,
    kUnicodeFileName = 14,
    kPosixPath = 18,
    kMountPoint = 19,
    kEnd = -1,
};

std::string UpToNul(std::string text) {
    std::size_t const nul = text.find('\0');
    if (nul != std::string::npos) {
        text.resize(nul);
    }
    return text;
}

// A Pascal string stored in a field of `fieldSize` bytes (the length byte included).
std::string PascalString(ByteReader& reader, std::size_t fieldSize) {
    std::size_t const length = reader.U8();
    std::string text = reader.Bytes(fieldSize - 1);
    if (length < text.size()) {
        text.resize(length);
    }
    return UpToNul(text);
}

// Tag 14: a 16-bit count of UTF-16 code units, then the units, big-endian.
std::string UnicodeName(std::string const& data) {
    ByteReader reader(reinterpret_cast<std::uint8_t const*>(data.data()), data.size());
    std::size_t const count = reader.U16();
    basekit::UTF16String units;
    for (std::size_t i = 0; i < count && reader.Remaining() >= 2; ++i) {
        units.push_back(static_cast<char16_t>(reader.U16()));
    }
    return UpToNul(basekit::utility::UTF16to8(units));
}

std::vector<std::string> Components(std::string const& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t const slash = path.find('/', start);
        std::size_t const end = slash == std::string::npos ? path.size() : slash;
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        if (slash == std::string::npos) {
            break;
        }
        start = slash + 1;
    }
    return parts;
}

std::string WithLeadingSlash(std::string path) {
    if (path.empty() || path[0] != '/') {
        path.insert(path.begin(), '/');
    }
    return path;
}

}  // namespace

bool ReadAliasRecord(std::uint8_t const* record, std::size_t size, AliasTarget& target) {
    target = AliasTarget{};
    ByteReader reader(record, size);
    reader.Skip(4);  // user type
    reader.Skip(2);  // record size
    if (reader.U16() != kVersion) {
        return false;
    }
    reader.Skip(2);  // kind: file or folder
    std::string const volume = PascalString(reader, 28);
    reader.Skip(12);  // volume date, file system, drive type, parent folder id
    std::string const pascalName = PascalString(reader, 64);
    reader.Skip(16);  // file number, date, type, creator
    std::uint16_t const levelsUp = reader.U16();
    std::uint16_t const levelsDown = reader.U16();
    reader.Skip(16);  // volume attributes, file system id, reserved
    if (reader.Failed()) {
        return false;
    }

    std::string colonPath, posixPath, mountPoint, unicodeName;
    while (reader.Remaining() >= 4) {
        auto const tag = static_cast<std::int16_t>(reader.U16());
        std::size_t const length = reader.U16();
        if (tag == kEnd) {
            break;
        }
        std::string const data = reader.Bytes(length);
        if (length % 2 == 1) {
            reader.Skip(1);
        }
        if (reader.Failed()) {
            break;  // a truncated extra: keep what came before it
        }
        switch (tag) {
            case kColonPath:
                colonPath = UpToNul(data);
                break;
            case kUnicodeFileName:
                unicodeName = UnicodeName(data);
                break;
            case kPosixPath:
                posixPath = UpToNul(data);
                break;
            case kMountPoint:
                mountPoint = UpToNul(data);
                break;
            default:
                break;
        }
    }

    target.fileName = !unicodeName.empty() ? unicodeName : pascalName;
    if (!posixPath.empty()) {
        // The POSIX path is within the volume; the mount point says where the volume is.
        std::string path = WithLeadingSlash(posixPath);
        while (mountPoint.size() > 1 && mountPoint.back() == '/') {
            mountPoint.pop_back();
        }
        if (!mountPoint.empty() && mountPoint != "/") {
            path = WithLeadingSlash(mountPoint) + path;
        }
        target.absolutePath = path;
    } else if (!colonPath.empty()) {
        // "Volume:folder:file": the volume name dropped, colons as separators.
        std::string path = colonPath;
        if (!volume.empty() && path.size() > volume.size() &&
            path.compare(0, volume.size(), volume) == 0) {
            path.erase(0, volume.size());
        }
        for (char& c : path) {
            if (c == ':') {
                c = '/';
            }
        }
        target.absolutePath = WithLeadingSlash(path);
    }

    bool const levelsKnown = levelsUp != kUnknownLevels && levelsDown != kUnknownLevels &&
                             levelsUp > 0 && levelsDown > 0 && levelsUp <= kMaxLevels &&
                             levelsDown <= kMaxLevels;
    if (levelsKnown) {
        std::vector<std::string> parts = Components(target.absolutePath);
        if (parts.size() < levelsDown && levelsDown == 1 && !target.fileName.empty()) {
            parts = {target.fileName};
        }
        if (parts.size() >= levelsDown) {
            std::string relative;
            for (std::uint16_t i = 1; i < levelsUp; ++i) {
                relative += "../";
            }
            for (std::size_t i = parts.size() - levelsDown; i < parts.size(); ++i) {
                relative += parts[i];
                if (i + 1 < parts.size()) {
                    relative += '/';
                }
            }
            target.relativePath = relative;
        }
    }
    if (target.absolutePath.empty() && target.relativePath.empty() && !target.fileName.empty()) {
        target.relativePath = target.fileName;  // only a name: looked for beside the movie
    }
    return true;
}

}  // namespace vireo::server::files
