#include "ReferenceMovie.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "basekit/utility/Text.h"
#include "files/MovieBoxes.h"

namespace vireo::samples {

namespace {

using server::files::BoxNode;
using server::files::BoxType;
using server::files::MakeBoxType;

constexpr BoxType kFtyp = MakeBoxType("ftyp");
constexpr BoxType kMoov = MakeBoxType("moov");
constexpr BoxType kTrak = MakeBoxType("trak");
constexpr BoxType kMdia = MakeBoxType("mdia");
constexpr BoxType kMinf = MakeBoxType("minf");
constexpr BoxType kDinf = MakeBoxType("dinf");
constexpr BoxType kDref = MakeBoxType("dref");

// The volume name written into alias records; the colon path starts with it.
constexpr char kVolumeName[] = "Vireo";

// `value` as `bytes` (at most 8) big-endian bytes.
void Put(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(std::uint8_t(value >> (8 * i)));
    }
}

// A Pascal string in a field of `fieldSize` bytes (length byte included), cut to fit.
void PutPascal(std::vector<std::uint8_t>& out, std::string const& text, std::size_t fieldSize) {
    std::size_t const length = std::min(text.size(), fieldSize - 1);
    out.push_back(std::uint8_t(length));
    out.insert(out.end(), text.begin(), text.begin() + std::ptrdiff_t(length));
    out.resize(out.size() + (fieldSize - 1 - length), 0);
}

void PutExtra(std::vector<std::uint8_t>& out, std::uint16_t tag,
              std::vector<std::uint8_t> const& data) {
    Put(out, tag, 2);
    Put(out, data.size(), 2);
    out.insert(out.end(), data.begin(), data.end());
    if (data.size() % 2 == 1) {
        out.push_back(0);
    }
}

std::vector<std::uint8_t> Bytes(std::string const& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// "Volume:folder:file" for a POSIX path: separators become colons, colons in names slashes.
std::string ColonPath(std::string const& posix) {
    std::string path = kVolumeName;
    for (char const c : posix) {
        path.push_back(c == '/' ? ':' : c == ':' ? '/' : c);
    }
    return path;
}

// A version 2 alias record for the file at `target` (absolute), seen from a folder that lies
// `levelsUp` - 1 folders below the folder they have in common, the target `levelsDown` - 1
// folders below it.
std::vector<std::uint8_t> AliasRecord(std::filesystem::path const& target, int levelsUp,
                                      int levelsDown) {
    std::string const name = target.filename().string();
    std::string const parent = target.parent_path().filename().string();
    std::vector<std::uint8_t> record;
    Put(record, 0, 4);  // user type
    Put(record, 0, 2);  // record size, set below
    Put(record, 2, 2);  // version
    Put(record, 0, 2);  // kind: a file
    PutPascal(record, kVolumeName, 28);
    Put(record, 0, 4);       // volume date
    Put(record, 0x482B, 2);  // file system: HFS+
    Put(record, 0, 2);       // drive type: fixed
    Put(record, 0, 4);       // parent folder id
    PutPascal(record, name, 64);
    Put(record, 0, 4);  // file number
    Put(record, 0, 4);  // file date
    Put(record, 0, 4);  // file type
    Put(record, 0, 4);  // creator
    Put(record, std::uint64_t(levelsUp), 2);
    Put(record, std::uint64_t(levelsDown), 2);
    Put(record, 0, 4);   // volume attributes
    Put(record, 0, 2);   // file system id
    record.insert(record.end(), 10, 0);  // reserved

    PutExtra(record, 0, Bytes(parent));
    PutExtra(record, 2, Bytes(ColonPath(target.string())));
    std::vector<std::uint8_t> unicode;
    basekit::UTF16String const wide = basekit::utility::UTF8to16(name);
    Put(unicode, wide.size(), 2);
    for (char16_t const unit : wide) {
        Put(unicode, unit, 2);
    }
    PutExtra(record, 14, unicode);
    PutExtra(record, 18, Bytes(target.string()));
    PutExtra(record, 19, Bytes("/"));
    Put(record, 0xFFFF, 2);
    Put(record, 0, 2);
    record[4] = std::uint8_t(record.size() >> 8);
    record[5] = std::uint8_t(record.size());
    return record;
}

// `path` with every byte but unreserved characters and '/' written as %XX.
std::string UrlPath(std::string const& path) {
    static char const hex[] = "0123456789ABCDEF";
    std::string url;
    for (unsigned char const c : path) {
        bool const plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~' ||
                           c == '/';
        if (plain) {
            url.push_back(char(c));
        } else {
            url.push_back('%');
            url.push_back(hex[c >> 4]);
            url.push_back(hex[c & 15]);
        }
    }
    return url;
}

std::vector<std::uint8_t> ReadBox(server::files::ByteSource const& source, BoxType type) {
    server::files::TopLevelBox box;
    if (server::files::FindTopLevelBox(source, type, box) != server::files::TopLevelScan::kFound) {
        return {};
    }
    std::vector<std::uint8_t> bytes(std::size_t(box.size));
    if (!source.ReadAt(box.offset, bytes.data(), bytes.size())) {
        return {};
    }
    return bytes;
}

}  // namespace

bool WriteReferenceMovie(std::string const& mediaPath, std::string const& moviePath,
                         ReferenceForm form, std::string& error) {
    namespace fs = std::filesystem;
    int const fd = ::open(mediaPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = mediaPath + ": cannot be read";
        return false;
    }
    std::vector<std::uint8_t> fileType, header;
    {
        server::files::FileByteSource const source(fd);
        fileType = ReadBox(source, kFtyp);
        header = ReadBox(source, kMoov);
    }
    ::close(fd);
    std::vector<BoxNode> nodes;
    if (header.empty() ||
        !server::files::ParseBoxes(
            header.data(), header.size(),
            {{kMoov, 0}, {kTrak, 0}, {kMdia, 0}, {kMinf, 0}, {kDinf, 0}, {kDref, 8}}, nodes) ||
        nodes.size() != 1) {
        error = mediaPath + ": not a QuickTime movie";
        return false;
    }

    fs::path const media = fs::absolute(mediaPath).lexically_normal();
    fs::path const folder = fs::absolute(moviePath).lexically_normal().parent_path();
    fs::path const relative = media.lexically_relative(folder);
    int levelsUp = 1;
    int levelsDown = 0;
    for (fs::path const& part : relative) {
        if (part == "..") {
            ++levelsUp;
        } else {
            ++levelsDown;
        }
    }
    std::vector<std::uint8_t> entry;
    BoxType entryType = 0;
    if (form == ReferenceForm::kAlias) {
        entryType = MakeBoxType("alis");
        Put(entry, 0, 4);  // version and flags: not this file
        std::vector<std::uint8_t> const record = AliasRecord(media, levelsUp, levelsDown);
        entry.insert(entry.end(), record.begin(), record.end());
    } else {
        entryType = MakeBoxType("url ");
        Put(entry, 0, 4);
        std::string const url = UrlPath(relative.generic_string());
        entry.insert(entry.end(), url.begin(), url.end());
        entry.push_back(0);
    }

    std::size_t changed = 0;
    for (BoxNode& track : nodes[0].children) {
        BoxNode* dref = track.type == kTrak ? track.Find({kMdia, kMinf, kDinf, kDref}) : nullptr;
        if (dref == nullptr || !dref->container) {
            continue;
        }
        // Every entry names the media file, so the sample descriptions' entry numbers stay.
        for (BoxNode& reference : dref->children) {
            reference = BoxNode::Leaf(entryType, entry);
        }
        changed += dref->children.size();
    }
    if (changed == 0) {
        error = mediaPath + ": no track has a data reference";
        return false;
    }
    std::vector<std::uint8_t> bytes = fileType;
    server::files::AppendBox(nodes[0], bytes);
    std::ofstream out(moviePath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<char const*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    if (!out) {
        error = moviePath + ": cannot be written";
        return false;
    }
    return true;
}

}  // namespace vireo::samples
