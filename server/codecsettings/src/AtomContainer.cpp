// Reading QuickTime atom containers of standard compression settings.
#include "codecsettings/AtomContainer.h"

#include <set>
#include <utility>

#include "codecsettings/CodecSettingsErrors.h"
#include "engine/FourCC.h"

namespace vireo::server::codecsettings {

namespace {

using engine::FourCCToString;
using engine::MakeFourCC;

constexpr std::size_t kContainerHeaderBytes = 12;
constexpr std::size_t kAtomHeaderBytes = 20;

constexpr std::uint32_t kRoot = MakeFourCC("sean");
constexpr std::uint32_t kSpatial = MakeFourCC("sptl");
constexpr std::uint32_t kTemporal = MakeFourCC("tprl");
constexpr std::uint32_t kDataRate = MakeFourCC("drat");
constexpr std::uint32_t kReordering = MakeFourCC("bfra");
constexpr std::uint32_t kCodecData = MakeFourCC("cdec");

// Callers check the bounds before reading.
std::uint32_t U32(std::uint8_t const* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}
std::uint16_t U16(std::uint8_t const* p) {
    return std::uint16_t((unsigned(p[0]) << 8) | unsigned(p[1]));
}

struct Atom {
    std::uint32_t type = 0;
    std::uint32_t id = 0;
    std::uint16_t childCount = 0;
    std::size_t offset = 0;  // of its header
    std::size_t size = 0;
    std::vector<Atom> children;
};

class Reader {
  public:
    explicit Reader(std::uint8_t const* data) : mData(data) {}

    // Reads the atoms that fill [begin, end) exactly, checking each one's children on the way.
    // `declared` is the parent's child count, or -1 where none is declared (after the container
    // header). `outermost`: [begin, end) runs to the end of the data, so an atom that does not
    // fit is a truncation rather than a wrong size.
    std::int32_t ReadAtoms(std::size_t begin, std::size_t end, long declared, int depth,
                           bool outermost, std::vector<Atom>& found) {
        if (depth > kMaxAtomDepth) {
            return Fail(kErrContainerLimits,
                        "atoms nested deeper than " + std::to_string(kMaxAtomDepth));
        }
        std::set<std::pair<std::uint32_t, std::uint32_t>> seen;
        std::size_t at = begin;
        while (at < end) {
            std::size_t const left = end - at;
            if (left < kAtomHeaderBytes) {
                return outermost ? Fail(kErrContainerTruncated, Where(at) +
                                                                    "the data ends inside "
                                                                    "an atom header")
                                 : Fail(kErrAtomSize, Where(at) + std::to_string(left) +
                                                          " bytes left in the parent atom");
            }
            Atom atom;
            atom.offset = at;
            atom.size = U32(mData + at);
            atom.type = U32(mData + at + 4);
            atom.id = U32(mData + at + 8);
            atom.childCount = U16(mData + at + 14);
            if (atom.size < kAtomHeaderBytes) {
                return Fail(kErrAtomSize, Where(at) + "atom '" + FourCCToString(atom.type) +
                                              "' says it is " + std::to_string(atom.size) +
                                              " bytes, less than its header");
            }
            if (atom.size > left) {
                std::string const text = Where(at) + "atom '" + FourCCToString(atom.type) +
                                         "' of " + std::to_string(atom.size) + " bytes";
                return outermost ? Fail(kErrContainerTruncated, text + " runs past the data")
                                 : Fail(kErrAtomSize, text + " runs past its parent");
            }
            if (++mAtoms > kMaxAtoms) {
                return Fail(kErrContainerLimits,
                            "more than " + std::to_string(kMaxAtoms) + " atoms");
            }
            if (!seen.insert({atom.type, atom.id}).second) {
                return Fail(kErrDuplicateAtom, Where(at) + "a second atom '" +
                                                   FourCCToString(atom.type) + "' with ID " +
                                                   std::to_string(atom.id));
            }
            if (atom.childCount > 0) {
                std::int32_t const result =
                    ReadAtoms(at + kAtomHeaderBytes, at + atom.size, long(atom.childCount),
                              depth + 1, false, atom.children);
                if (result != kConvertOK) {
                    return result;
                }
            }
            found.push_back(std::move(atom));
            at += atom.size;
        }
        if (declared >= 0 && long(found.size()) != declared) {
            return Fail(kErrAtomChildCount, Where(begin) + "an atom says it holds " +
                                                std::to_string(declared) + " atoms and holds " +
                                                std::to_string(found.size()));
        }
        return kConvertOK;
    }

    std::uint8_t const* Data(Atom const& atom) const {
        return mData + atom.offset + kAtomHeaderBytes;
    }

    std::int32_t Fail(std::int32_t code, std::string text) {
        mWhy = std::move(text);
        return code;
    }
    std::string const& Why() const { return mWhy; }

  private:
    static std::string Where(std::size_t offset) {
        return "at byte " + std::to_string(offset) + ": ";
    }

    std::uint8_t const* mData;
    std::size_t mAtoms = 0;
    std::string mWhy;
};

// The settings atom of `type` among `atoms`: the one with ID 1, else the first.
Atom const* FindSetting(std::vector<Atom> const& atoms, std::uint32_t type) {
    Atom const* first = nullptr;
    for (auto const& atom : atoms) {
        if (atom.type == type) {
            if (atom.id == 1) {
                return &atom;
            }
            if (first == nullptr) {
                first = &atom;
            }
        }
    }
    return first;
}

}  // namespace

std::int32_t ReadStandardCompression(std::uint8_t const* data, std::size_t size,
                                     StandardCompression& out, std::string& why) {
    out = StandardCompression();
    if (size > kMaxContainerBytes) {
        why = std::to_string(size) + " bytes, more than " + std::to_string(kMaxContainerBytes);
        return kErrContainerLimits;
    }
    // A container holds at least one atom (its root, or a settings atom): the header alone is
    // what is left of a container cut short.
    if (size < kContainerHeaderBytes + kAtomHeaderBytes) {
        why = std::to_string(size) + " bytes, less than the container header and one atom";
        return kErrContainerTruncated;
    }
    Reader reader(data);
    std::vector<Atom> outer;
    std::int32_t result = reader.ReadAtoms(kContainerHeaderBytes, size, -1, 1, true, outer);
    if (result != kConvertOK) {
        why = reader.Why();
        return result;
    }

    // The settings are the root's children, or the outermost atoms of a container without one.
    std::vector<Atom> settings;
    if (!outer.empty() && outer.front().type == kRoot) {
        Atom const& root = outer.front();
        if (outer.size() > 1) {
            why = "at byte " + std::to_string(outer[1].offset) + ": an atom after the root atom";
            return kErrAtomSize;
        }
        if (root.childCount > 0) {
            settings = root.children;
        } else if (root.size != kAtomHeaderBytes) {
            why = "the root atom holds data instead of atoms";
            return kErrAtomSize;
        }
    } else {
        settings = std::move(outer);
    }

    // Each settings atom is a leaf at least as long as its record; longer data (padding, later
    // fields) is ignored.
    auto leaf = [&](std::uint32_t type, std::size_t minimum) -> std::pair<Atom const*, bool> {
        Atom const* atom = FindSetting(settings, type);
        if (atom == nullptr) {
            return {nullptr, true};
        }
        std::size_t const bytes = atom->size - kAtomHeaderBytes;
        if (atom->childCount > 0 || bytes < minimum) {
            why = "at byte " + std::to_string(atom->offset) + ": atom '" + FourCCToString(type) +
                  "' holds " +
                  (atom->childCount > 0 ? std::string("atoms") : std::to_string(bytes) + " bytes") +
                  ", not a record of " + std::to_string(minimum) + " bytes";
            return {nullptr, false};
        }
        return {atom, true};
    };

    auto [spatial, spatialOK] = leaf(kSpatial, 14);
    if (!spatialOK) {
        return kErrAtomSize;
    }
    if (spatial != nullptr) {
        std::uint8_t const* p = reader.Data(*spatial);
        SpatialSettings s;
        s.codecType = U32(p);
        s.codec = U32(p + 4);
        s.depth = std::int16_t(U16(p + 8));
        s.spatialQuality = U32(p + 10);
        out.spatial = s;
    }
    auto [temporal, temporalOK] = leaf(kTemporal, 12);
    if (!temporalOK) {
        return kErrAtomSize;
    }
    if (temporal != nullptr) {
        std::uint8_t const* p = reader.Data(*temporal);
        TemporalSettings t;
        t.temporalQuality = U32(p);
        t.frameRate = std::int32_t(U32(p + 4));
        t.keyFrameRate = std::int32_t(U32(p + 8));
        out.temporal = t;
    }
    auto [rate, rateOK] = leaf(kDataRate, 16);
    if (!rateOK) {
        return kErrAtomSize;
    }
    if (rate != nullptr) {
        std::uint8_t const* p = reader.Data(*rate);
        DataRateSettings d;
        d.dataRate = std::int32_t(U32(p));
        d.frameDuration = std::int32_t(U32(p + 4));
        d.minSpatialQuality = U32(p + 8);
        d.minTemporalQuality = U32(p + 12);
        out.dataRate = d;
    }
    auto [reordering, reorderingOK] = leaf(kReordering, 1);
    if (!reorderingOK) {
        return kErrAtomSize;
    }
    if (reordering != nullptr) {
        out.allowFrameReordering = reader.Data(*reordering)[0] != 0;
    }
    auto [codecData, codecDataOK] = leaf(kCodecData, 0);
    if (!codecDataOK) {
        return kErrAtomSize;
    }
    if (codecData != nullptr) {
        std::uint8_t const* p = reader.Data(*codecData);
        out.codecData = std::vector<std::uint8_t>(p, p + (codecData->size - kAtomHeaderBytes));
    }
    return kConvertOK;
}

}  // namespace vireo::server::codecsettings
