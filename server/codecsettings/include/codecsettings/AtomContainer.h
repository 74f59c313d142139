#pragma once
// Reading the standard compression settings that QuickTime stores as an atom container.
//
// Layout (every number big-endian): a 12-byte container header (10 reserved bytes and a 16-bit
// lock count, neither looked at), then the root atom 'sean' (ID 1) holding the settings atoms
// as its children. Containers that put the settings atoms straight after the header, without
// the root, are read too. Each atom has a 20-byte header:
//
//   size (32)  type (32)  ID (32)  reserved (16)  child count (16)  reserved (32)
//
// followed by its children (child count > 0, filling the atom exactly) or by its data (a leaf).
// The settings atoms read (ID 1 is preferred when a type occurs with several IDs):
//
//   'sptl' spatial:   codec type (32), codec component (32), depth (16), spatial quality (32)
//   'tprl' temporal:  temporal quality (32), frame rate (16.16 fixed), key-frame rate (32)
//   'drat' data rate: bytes per second (32), frame duration in ms (32), minimum spatial
//                     quality (32), minimum temporal quality (32)
//   'bfra' frame reordering allowed (8, non-zero = yes)
//   'cdec' the codec's own settings (any bytes)
//
// Every other atom is checked for its structure and otherwise skipped. The reader is bounded:
// it never reads outside the bytes given and refuses containers beyond the limits below.
//
// Thread use: any thread.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vireo::server::codecsettings {

constexpr std::size_t kMaxContainerBytes = 65536;
constexpr std::size_t kMaxAtoms = 1024;
constexpr int kMaxAtomDepth = 16;  // the root is depth 1

struct SpatialSettings {
    std::uint32_t codecType = 0;  // FourCC; 0: not said
    std::uint32_t codec = 0;      // a component of the writing machine; not used
    std::int16_t depth = 0;
    std::uint32_t spatialQuality = 0;  // 0 .. 1024
};

struct TemporalSettings {
    std::uint32_t temporalQuality = 0;
    std::int32_t frameRate = 0;  // 16.16 fixed point; 0: the source's
    std::int32_t keyFrameRate = 0;
};

struct DataRateSettings {
    std::int32_t dataRate = 0;  // bytes per second; 0: no limit
    std::int32_t frameDuration = 0;
    std::uint32_t minSpatialQuality = 0;
    std::uint32_t minTemporalQuality = 0;
};

struct StandardCompression {
    std::optional<SpatialSettings> spatial;
    std::optional<TemporalSettings> temporal;
    std::optional<DataRateSettings> dataRate;
    std::optional<bool> allowFrameReordering;
    std::optional<std::vector<std::uint8_t>> codecData;
};

// Reads `size` bytes at `data` (null only with size 0). Returns kConvertOK, or the structural
// code of CodecSettingsErrors.h (kErrContainerTruncated, kErrAtomSize, kErrAtomChildCount,
// kErrDuplicateAtom, kErrContainerLimits) with `why` saying where, for diagnostics.
std::int32_t ReadStandardCompression(std::uint8_t const* data, std::size_t size,
                                     StandardCompression& out, std::string& why);

}  // namespace vireo::server::codecsettings
