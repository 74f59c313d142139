#include "files/References.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "AliasRecord.h"
#include "MovieFile.h"
#include "basekit/utility/Text.h"
#include "engine/Errors.h"
#include "files/FileErrors.h"

namespace vireo::server::files {

namespace {

constexpr BoxType kMoov = MakeBoxType("moov");
constexpr BoxType kTrak = MakeBoxType("trak");
constexpr BoxType kMdia = MakeBoxType("mdia");
constexpr BoxType kMinf = MakeBoxType("minf");
constexpr BoxType kDinf = MakeBoxType("dinf");
constexpr BoxType kDref = MakeBoxType("dref");
constexpr BoxType kAlis = MakeBoxType("alis");
constexpr BoxType kUrl = MakeBoxType("url ");
constexpr BoxType kCmov = MakeBoxType("cmov");

// A movie header larger than this is not read (real ones are a few megabytes at most).
constexpr std::uint64_t kMaxMovieHeader = 256u << 20;

// Top-level box types a QuickTime or MP4 file starts with. A file whose first box is none of
// these is another format (its first bytes are not a box at all) and has no data references.
bool IsMovieFileStart(BoxType type) {
    static BoxType const known[] = {MakeBoxType("ftyp"), MakeBoxType("moov"), MakeBoxType("mdat"),
                                    MakeBoxType("free"), MakeBoxType("skip"), MakeBoxType("wide"),
                                    MakeBoxType("pnot"), MakeBoxType("uuid"), MakeBoxType("pdin"),
                                    MakeBoxType("styp"), MakeBoxType("sidx"), MakeBoxType("moof"),
                                    MakeBoxType("meta"), MakeBoxType("junk"), MakeBoxType("PICT")};
    return std::find(std::begin(known), std::end(known), type) != std::end(known);
}

// Entry flag 1: the media lies in the movie's own file.
constexpr std::uint32_t kSelfReference = 1;

// Up to the first NUL.
std::string UpToNul(std::string text) {
    std::size_t const nul = text.find('\0');
    if (nul != std::string::npos) {
        text.resize(nul);
    }
    return text;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// %XX escapes decoded; a '%' not followed by two hex digits stays as it is.
std::string PercentDecode(std::string const& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int const high = HexValue(text[i + 1]);
            int const low = HexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

// The scheme of a URL ("file", "http"), or empty when `text` has none. A single letter before a
// colon is not taken as a scheme (it reads as a drive letter).
std::string UrlScheme(std::string const& text) {
    std::size_t const colon = text.find(':');
    if (colon == std::string::npos || colon < 2) {
        return {};
    }
    auto const alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!alpha(text[0])) {
        return {};
    }
    for (std::size_t i = 1; i < colon; ++i) {
        char const c = text[i];
        if (!alpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') {
            return {};
        }
    }
    std::string scheme = text.substr(0, colon);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; });
    return scheme;
}

// A 'url ' entry's text as a reference.
DataReference UrlReference(std::string const& url) {
    DataReference reference;
    reference.kind = DataReference::Kind::kUrl;
    reference.absolute = url;
    std::string const scheme = UrlScheme(url);
    if (scheme.empty()) {
        // A relative URL: a path from the movie's folder, or an absolute path.
        std::string const path = PercentDecode(url);
        if (!path.empty() && path[0] == '/') {
            reference.absolute = path;
        } else {
            reference.relative = path;
        }
        return reference;
    }
    if (scheme != "file") {
        return reference;  // not a local file: listed as it stands
    }
    std::string rest = url.substr(5);
    if (rest.compare(0, 2, "//") == 0) {
        std::size_t const slash = rest.find('/', 2);
        std::string const host =
            rest.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
        if (!host.empty() && host != "localhost") {
            return reference;  // a file on another machine: listed as it stands
        }
        rest = slash == std::string::npos ? std::string("/") : rest.substr(slash);
    }
    std::string const path = PercentDecode(rest);
    if (!path.empty() && path[0] == '/') {
        reference.absolute = path;
    } else {
        reference.absolute.clear();
        reference.relative = path;
    }
    return reference;
}

void ReadTrackReferences(BoxNode const& track, std::vector<DataReference>& references) {
    BoxNode const* dref = track.Find({kMdia, kMinf, kDinf, kDref});
    if (dref == nullptr || !dref->container) {
        return;
    }
    for (BoxNode const& entry : dref->children) {
        if (entry.type != kAlis && entry.type != kUrl) {
            continue;  // resource and URN references, and unknown kinds, are not files we follow
        }
        std::vector<std::uint8_t> const payload = entry.Payload();
        ByteReader reader(payload.data(), payload.size());
        std::uint32_t const versionAndFlags = reader.U32();
        if (reader.Failed() || (versionAndFlags & 0xFFFFFF & kSelfReference) != 0) {
            continue;
        }
        if (entry.type == kUrl) {
            std::string const url = UpToNul(
                std::string(reinterpret_cast<char const*>(reader.Here()), reader.Remaining()));
            if (!url.empty()) {
                references.push_back(UrlReference(url));
            }
            continue;
        }
        AliasTarget target;
        if (!ReadAliasRecord(reader.Here(), reader.Remaining(), target)) {
            continue;
        }
        DataReference reference;
        reference.kind = DataReference::Kind::kAlias;
        reference.absolute = target.absolutePath;
        reference.relative = target.relativePath;
        if (!reference.absolute.empty() || !reference.relative.empty()) {
            references.push_back(std::move(reference));
        }
    }
}

}  // namespace

std::int32_t ReadDataReferences(ByteSource const& source, std::vector<DataReference>& references) {
    references.clear();
    std::uint8_t first[8] = {};
    if (!source.ReadAt(0, first, sizeof(first))) {
        return engine::kOK;  // too short to be a movie
    }
    ByteReader head(first, sizeof(first));
    head.Skip(4);
    if (!IsMovieFileStart(head.U32())) {
        return engine::kOK;
    }
    TopLevelBox moov;
    switch (FindTopLevelBox(source, kMoov, moov)) {
        case TopLevelScan::kFound:
            break;
        case TopLevelScan::kMissing:
            return engine::kErrCorrupt;  // a movie file without its movie header
        case TopLevelScan::kDamaged:
            return engine::kErrCorrupt;
    }
    if (moov.size > kMaxMovieHeader) {
        return engine::kErrOutOfMemory;
    }
    std::vector<std::uint8_t> bytes(std::size_t(moov.size));
    if (!source.ReadAt(moov.offset, bytes.data(), bytes.size())) {
        return engine::kErrCorrupt;
    }
    std::vector<BoxNode> nodes;
    bool const whole =
        ParseBoxes(bytes.data(), bytes.size(),
                   {{kMoov, 0}, {kTrak, 0}, {kMdia, 0}, {kMinf, 0}, {kDinf, 0}, {kDref, 8}}, nodes);
    if (!whole || nodes.size() != 1 || !nodes[0].container) {
        return engine::kErrCorrupt;
    }
    if (nodes[0].Child(kCmov) != nullptr) {
        return kErrCompressedMovieHeader;
    }
    for (BoxNode const& child : nodes[0].children) {
        if (child.type == kTrak) {
            ReadTrackReferences(child, references);
        }
    }
    return engine::kOK;
}

std::vector<std::string> ResolveDataReferences(std::string const& movieFolder,
                                               std::vector<DataReference> const& references) {
    std::vector<std::string> paths;
    for (DataReference const& reference : references) {
        std::string path;
        if (!reference.relative.empty()) {
            path = (std::filesystem::path(movieFolder) / reference.relative)
                       .lexically_normal()
                       .string();
        } else if (!reference.absolute.empty() && reference.absolute[0] == '/') {
            path = std::filesystem::path(reference.absolute).lexically_normal().string();
        } else {
            path = reference.absolute;  // a URL that names no local file
        }
        path = basekit::utility::MakeValidUTF8(path);
        if (!path.empty() && std::find(paths.begin(), paths.end(), path) == paths.end()) {
            paths.push_back(std::move(path));
        }
    }
    return paths;
}

std::int32_t ListExternalReferences(std::string const& moviePath, std::vector<std::string>& paths) {
    paths.clear();
    int fd = -1;
    struct stat opened {};
    std::int32_t result = OpenMovieFile(moviePath, fd, opened);
    if (result != engine::kOK) {
        return result;
    }
    std::vector<DataReference> references;
    result = ReadDataReferences(FileByteSource(fd), references);
    ::close(fd);
    if (result != engine::kOK) {
        return result;
    }
    std::error_code error;
    std::filesystem::path const absolute = std::filesystem::absolute(moviePath, error);
    if (error) {
        return engine::kErrInvalidPath;
    }
    paths = ResolveDataReferences(absolute.lexically_normal().parent_path().string(), references);
    return engine::kOK;
}

}  // namespace vireo::server::files
