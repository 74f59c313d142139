#include "EditLists.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

extern "C" {
#include <libavutil/mathematics.h>
}

#include "files/FileErrors.h"
#include "files/MovieBoxes.h"

namespace vireo::server::files {

namespace {

constexpr BoxType kMoov = MakeBoxType("moov");
constexpr BoxType kMvhd = MakeBoxType("mvhd");
constexpr BoxType kTrak = MakeBoxType("trak");
constexpr BoxType kTkhd = MakeBoxType("tkhd");
constexpr BoxType kEdts = MakeBoxType("edts");
constexpr BoxType kElst = MakeBoxType("elst");
constexpr BoxType kMdia = MakeBoxType("mdia");
constexpr BoxType kMdhd = MakeBoxType("mdhd");
constexpr BoxType kHdlr = MakeBoxType("hdlr");
constexpr BoxType kFree = MakeBoxType("free");

// The header of the muxer's output is small; anything this large is not its work.
constexpr std::uint64_t kMaxMovieHeader = 512u << 20;

struct Edit {
    std::int64_t duration = 0;    // movie time scale
    std::int64_t mediaTime = -1;  // media time scale; -1: an empty edit (nothing shown)
};

std::uint64_t GetBE(std::vector<std::uint8_t> const& bytes, std::size_t at, int size) {
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) {
        value = (value << 8) | bytes[at + std::size_t(i)];
    }
    return value;
}

void PutBE(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) {
        bytes[at + std::size_t(i)] = std::uint8_t(value >> (8 * (size - 1 - i)));
    }
}

void AppendBE(std::vector<std::uint8_t>& bytes, std::uint64_t value, int size) {
    bytes.resize(bytes.size() + std::size_t(size));
    PutBE(bytes, bytes.size() - std::size_t(size), value, size);
}

// Movie and media headers ('mvhd', 'mdhd'): version, flags, two dates, time scale, duration.
// Track headers ('tkhd'): version, flags, two dates, track id, reserved, duration.
struct HeaderLayout {
    std::size_t fieldsBeforeDuration;  // bytes of the 32-bit fields between the dates and duration
};
constexpr HeaderLayout kTimeHeader{4};   // time scale
constexpr HeaderLayout kTrackHeader{8};  // track id, reserved

bool ReadTimeScale(std::vector<std::uint8_t> const& payload, std::uint32_t& scale) {
    if (payload.empty()) {
        return false;
    }
    std::size_t const at = payload[0] == 1 ? 20 : 12;
    if (payload.size() < at + 4) {
        return false;
    }
    scale = std::uint32_t(GetBE(payload, at, 4));
    return scale > 0;
}

bool ReadTrackId(std::vector<std::uint8_t> const& payload, std::uint32_t& id) {
    if (payload.empty()) {
        return false;
    }
    std::size_t const at = payload[0] == 1 ? 20 : 12;
    if (payload.size() < at + 4) {
        return false;
    }
    id = std::uint32_t(GetBE(payload, at, 4));
    return true;
}

bool ReadDuration(std::vector<std::uint8_t> const& payload, HeaderLayout layout,
                  std::uint64_t& duration) {
    if (payload.empty()) {
        return false;
    }
    bool const wide = payload[0] == 1;
    std::size_t const at = (wide ? 20 : 12) + layout.fieldsBeforeDuration;
    if (payload.size() < at + (wide ? 8 : 4)) {
        return false;
    }
    duration = GetBE(payload, at, wide ? 8 : 4);
    return true;
}

// Writes `duration`, widening a version 0 header to version 1 when it does not fit 32 bits.
bool WriteDuration(std::vector<std::uint8_t>& payload, HeaderLayout layout,
                   std::uint64_t duration) {
    if (payload.empty()) {
        return false;
    }
    std::size_t const fields = layout.fieldsBeforeDuration;
    if (payload[0] == 1) {
        if (payload.size() < 20 + fields + 8) {
            return false;
        }
        PutBE(payload, 20 + fields, duration, 8);
        return true;
    }
    if (payload.size() < 12 + fields + 4) {
        return false;
    }
    if (duration <= std::numeric_limits<std::uint32_t>::max()) {
        PutBE(payload, 12 + fields, duration, 4);
        return true;
    }
    std::vector<std::uint8_t> wide;
    wide.push_back(1);
    wide.insert(wide.end(), payload.begin() + 1, payload.begin() + 4);  // flags
    AppendBE(wide, GetBE(payload, 4, 4), 8);                            // creation date
    AppendBE(wide, GetBE(payload, 8, 4), 8);                            // modification date
    wide.insert(wide.end(), payload.begin() + 12, payload.begin() + std::ptrdiff_t(12 + fields));
    AppendBE(wide, duration, 8);
    wide.insert(wide.end(), payload.begin() + std::ptrdiff_t(12 + fields + 4), payload.end());
    payload = std::move(wide);
    return true;
}

std::vector<Edit> ReadEdits(BoxNode const& track) {
    std::vector<Edit> edits;
    BoxNode const* elst = track.Find({kEdts, kElst});
    if (elst == nullptr || elst->container) {
        return edits;
    }
    std::vector<std::uint8_t> const payload = elst->Payload();
    ByteReader reader(payload.data(), payload.size());
    bool const wide = reader.U8() == 1;
    reader.Skip(3);
    std::uint32_t const count = reader.U32();
    for (std::uint32_t i = 0; i < count && !reader.Failed(); ++i) {
        Edit edit;
        edit.duration = wide ? std::int64_t(reader.U64()) : std::int64_t(reader.U32());
        edit.mediaTime = wide ? std::int64_t(reader.U64()) : std::int32_t(reader.U32());
        reader.Skip(4);  // rate
        if (!reader.Failed()) {
            edits.push_back(edit);
        }
    }
    return edits;
}

// Replaces the track's edit list (making one after the track header when it has none).
void WriteEdits(BoxNode& track, std::vector<Edit> const& edits) {
    bool wide = false;
    for (Edit const& edit : edits) {
        wide = wide || edit.duration > std::numeric_limits<std::uint32_t>::max() ||
               edit.mediaTime > std::numeric_limits<std::int32_t>::max() ||
               edit.mediaTime < std::numeric_limits<std::int32_t>::min();
    }
    std::vector<std::uint8_t> payload;
    AppendBE(payload, wide ? 0x01000000u : 0u, 4);
    AppendBE(payload, edits.size(), 4);
    for (Edit const& edit : edits) {
        AppendBE(payload, std::uint64_t(edit.duration), wide ? 8 : 4);
        AppendBE(payload, std::uint64_t(edit.mediaTime), wide ? 8 : 4);
        AppendBE(payload, 0x00010000u, 4);  // rate 1.0
    }
    BoxNode edts;
    edts.type = kEdts;
    edts.container = true;
    edts.children.push_back(BoxNode::Leaf(kElst, payload));
    for (BoxNode& child : track.children) {
        if (child.type == kEdts) {
            child = std::move(edts);
            return;
        }
    }
    auto const header = std::find_if(track.children.begin(), track.children.end(),
                                     [](BoxNode const& child) { return child.type == kTkhd; });
    track.children.insert(header == track.children.end() ? track.children.begin() : header + 1,
                          std::move(edts));
}

// Whether the track's handler ('hdlr': version, flags, component type, then the handler type)
// is of the kind of media listed.
bool HandlerMatches(BoxNode const& track, TrackTiming::Kind kind) {
    BoxNode const* handler = track.Find({kMdia, kHdlr});
    if (handler == nullptr || handler->container) {
        return false;
    }
    std::vector<std::uint8_t> const payload = handler->Payload();
    if (payload.size() < 12) {
        return false;
    }
    BoxType const type = BoxType(GetBE(payload, 8, 4));
    switch (kind) {
        case TrackTiming::Kind::kVideo:
            return type == MakeBoxType("vide");
        case TrackTiming::Kind::kSound:
            return type == MakeBoxType("soun");
        case TrackTiming::Kind::kText:
            return type == MakeBoxType("text") || type == MakeBoxType("sbtl") ||
                   type == MakeBoxType("subt") || type == MakeBoxType("clcp");
    }
    return false;
}

std::int64_t Rescale(std::int64_t value, int fromNum, int fromDen, std::int64_t toScale) {
    return av_rescale_q_rnd(value, AVRational{fromNum, fromDen},
                            AVRational{1, int(std::min<std::int64_t>(toScale, INT32_MAX))},
                            AV_ROUND_NEAR_INF);
}

// The edits that show [max(0, start), min(end, length)) of a copied track (to the range's
// length when the track goes on past it).
std::vector<Edit> CopiedTrackEdits(TrackTiming const& timing, std::int64_t lengthInMovie,
                                   std::uint32_t movieScale, std::uint32_t mediaScale) {
    std::int64_t const start = std::max<std::int64_t>(0, timing.presentationStart);
    std::int64_t const startInMovie = Rescale(start, timing.tbNum, timing.tbDen, movieScale);
    std::int64_t const endInMovie =
        timing.reachesRangeEnd
            ? lengthInMovie
            : std::min(lengthInMovie,
                       Rescale(timing.presentationEnd, timing.tbNum, timing.tbDen, movieScale));
    std::vector<Edit> edits;
    if (endInMovie <= startInMovie) {
        edits.push_back({std::max<std::int64_t>(lengthInMovie, 0), -1});  // nothing in range
        return edits;
    }
    if (startInMovie > 0) {
        edits.push_back({startInMovie, -1});
    }
    edits.push_back({endInMovie - startInMovie,
                     Rescale(start - timing.firstDts, timing.tbNum, timing.tbDen, mediaScale)});
    return edits;
}

// The track's own edits (or its whole media), cut to `lengthInMovie`.
std::vector<Edit> CappedEdits(BoxNode const& track, std::uint64_t trackDuration,
                              std::int64_t lengthInMovie) {
    std::vector<Edit> edits = ReadEdits(track);
    if (edits.empty()) {
        edits.push_back({std::int64_t(trackDuration), 0});
    }
    std::vector<Edit> capped;
    std::int64_t total = 0;
    for (Edit const& edit : edits) {
        if (total >= lengthInMovie) {
            break;
        }
        Edit kept = edit;
        kept.duration = std::min(edit.duration, lengthInMovie - total);
        total += kept.duration;
        capped.push_back(kept);
    }
    return capped;
}

std::int64_t TotalDuration(std::vector<Edit> const& edits) {
    std::int64_t total = 0;
    for (Edit const& edit : edits) {
        total += edit.duration;
    }
    return total;
}

bool WriteAll(int fd, std::vector<std::uint8_t> const& bytes, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t const put =
            ::pwrite(fd, bytes.data() + done, bytes.size() - done, off_t(offset + done));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        done += std::size_t(put);
    }
    return true;
}

}  // namespace

std::int32_t SetEditLists(int fd, std::vector<TrackTiming> const& tracks, std::int64_t length,
                          std::int64_t scale) {
    FileByteSource const source(fd);
    TopLevelBox location;
    if (FindTopLevelBox(source, kMoov, location) != TopLevelScan::kFound ||
        location.size > kMaxMovieHeader) {
        return kErrTrimWriteFailed;
    }
    std::vector<std::uint8_t> bytes(std::size_t(location.size));
    if (!source.ReadAt(location.offset, bytes.data(), bytes.size())) {
        return kErrTrimWriteFailed;
    }
    std::vector<BoxNode> nodes;
    if (!ParseBoxes(bytes.data(), bytes.size(), {{kMoov, 0}, {kTrak, 0}, {kEdts, 0}, {kMdia, 0}},
                    nodes) ||
        nodes.size() != 1) {
        return kErrTrimWriteFailed;
    }
    BoxNode& moov = nodes[0];
    BoxNode* mvhd = moov.Child(kMvhd);
    std::uint32_t movieScale = 0;
    if (mvhd == nullptr || !ReadTimeScale(mvhd->Payload(), movieScale)) {
        return kErrTrimWriteFailed;
    }
    std::int64_t const lengthInMovie = av_rescale_rnd(length, movieScale, scale, AV_ROUND_NEAR_INF);

    std::uint64_t movieDuration = 0;
    for (BoxNode& track : moov.children) {
        if (track.type != kTrak) {
            continue;
        }
        BoxNode* tkhd = track.Child(kTkhd);
        BoxNode const* mdhd = track.Find({kMdia, kMdhd});
        std::uint32_t id = 0, mediaScale = 0;
        std::uint64_t trackDuration = 0;
        std::vector<std::uint8_t> header =
            tkhd != nullptr ? tkhd->Payload() : std::vector<std::uint8_t>();
        if (tkhd == nullptr || mdhd == nullptr || !ReadTrackId(header, id) ||
            !ReadDuration(header, kTrackHeader, trackDuration) ||
            !ReadTimeScale(mdhd->Payload(), mediaScale)) {
            return kErrTrimWriteFailed;
        }
        auto const timing = std::find_if(tracks.begin(), tracks.end(),
                                         [&](TrackTiming const& t) { return t.trackId == id; });
        if (timing != tracks.end() && !HandlerMatches(track, timing->kind)) {
            return kErrTrimWriteFailed;  // the muxer numbered its tracks otherwise
        }
        std::vector<Edit> const edits =
            timing != tracks.end()
                ? CopiedTrackEdits(*timing, lengthInMovie, movieScale, mediaScale)
                : CappedEdits(track, trackDuration, lengthInMovie);
        WriteEdits(track, edits);
        std::uint64_t const newDuration = std::uint64_t(TotalDuration(edits));
        if (!WriteDuration(header, kTrackHeader, newDuration)) {
            return kErrTrimWriteFailed;
        }
        tkhd->SetPayload(header);
        movieDuration = std::max(movieDuration, newDuration);
    }
    std::vector<std::uint8_t> movieHeader = mvhd->Payload();
    if (!WriteDuration(movieHeader, kTimeHeader, movieDuration)) {
        return kErrTrimWriteFailed;
    }
    mvhd->SetPayload(movieHeader);

    std::vector<std::uint8_t> const rewritten = WriteBoxes(nodes);
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return kErrTrimWriteFailed;
    }
    std::uint64_t const end = location.offset + location.size;
    if (end == std::uint64_t(info.st_size)) {
        // The header is the file's last box (as the muxer writes it): replace it there.
        if (!WriteAll(fd, rewritten, location.offset) ||
            ::ftruncate(fd, off_t(location.offset + rewritten.size())) != 0) {
            return kErrTrimWriteFailed;
        }
        return 0;
    }
    if (rewritten.size() == location.size) {
        return WriteAll(fd, rewritten, location.offset) ? 0 : kErrTrimWriteFailed;
    }
    // Elsewhere and of another size: the new header goes to the end and the old one becomes
    // free space.
    std::vector<std::uint8_t> freeType(4);
    PutBE(freeType, 0, kFree, 4);
    if (!WriteAll(fd, rewritten, std::uint64_t(info.st_size)) ||
        !WriteAll(fd, freeType, location.offset + 4)) {
        return kErrTrimWriteFailed;
    }
    return 0;
}

}  // namespace vireo::server::files
