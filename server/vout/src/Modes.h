#pragma once
// Pure pieces of the video outputs: display mode records, component descriptions and matching,
// and where a frame lands in a window. No display is needed for any of them.
#include <cstdint>
#include <string>
#include <vector>

#include "basemediatypes/PixelAspectRatio.h"
#include "vout/Records.h"

namespace vireo::server::vout {

// The component type of every video output ('vout') and our manufacturer code ('vrio').
constexpr std::uint32_t kComponentType = 0x766F7574u;
constexpr std::uint32_t kManufacturer = 0x7672696Fu;
// Subtypes: 'capt' for the capture output; 'dp00', 'dp01', ... for displays 0 to 99.
constexpr std::uint32_t kCaptureSubType = 0x63617074u;
std::uint32_t DisplaySubType(int displayIndex);
ComponentDescription MakeDescription(std::uint32_t subType);

// True when `have` is what `wanted` asks for: type, subtype and manufacturer equal or zero in
// `wanted`, and the flags equal where wanted's mask has bits set.
bool DescriptionMatches(ComponentDescription const& wanted, ComponentDescription const& have);

// A mode of a screen as the display system reports it.
struct ScreenMode {
    int width = 0;
    int height = 0;
    int refreshHz = 0;               // 0: not known
    int bitsPerPixel = 0;            // storage bits of one pixel (32 for 24-bit colour in 4 bytes)
    std::uint32_t nativeFormat = 0;  // the display system's own format code
    std::string formatName;          // its readable name, e.g. "RGB888"
};

// `value` as a signed 16.16 fixed-point bit pattern, rounded to nearest, clamped to the range.
std::int32_t ToFixed(double value);

// The readable name of a mode: "1280 x 720 @ 60 Hz, 32-bit (RGB888)"; without a known refresh
// rate "1280 x 720, 32-bit (RGB888)".
std::string ModeName(ScreenMode const& mode);

// The records of a screen's modes, in the given order. Atom identifiers count from 1 in that
// order; mode identifiers are derived from the mode alone (ModeIdentifier), so a mode keeps its
// identifier across servers and restarts; should two modes of one list meet on one identifier,
// the later one takes the next free value. xDpi and yDpi are the screen's resolution in dots
// per inch.
std::vector<DisplayModeInfo> MakeModeList(std::vector<ScreenMode> const& modes, double xDpi,
                                          double yDpi);
// FNV-1a (32 bits) over width, height, refresh rate and native format (each as 4 little-endian
// bytes), top bit cleared; never 0.
std::int32_t ModeIdentifier(ScreenMode const& mode);

// The one mode of the capture output: any frame size, written as received.
DisplayModeInfo CaptureModeInfo();

// The index in `modes` of the mode asked for: the mode whose identifier is `modeId` (its
// position may have changed since the list was read); with `modeId` 0, the mode whose atom
// identifier is `atomId`. -1 when there is none.
int FindMode(std::vector<DisplayModeInfo> const& modes, std::int32_t atomId, std::int32_t modeId);

// Where a frame of width x height pixels of shape `par` is drawn in an output of outWidth x
// outHeight pixels: as large as fits with the frame's picture aspect kept, centred.
struct Placement {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};
Placement FitFrame(std::uint32_t width, std::uint32_t height, basemediatypes::PixelAspectRatio par,
                   int outWidth, int outHeight);

// `text` with every byte outside [A-Za-z0-9._-] replaced by '_', cut to `maxLength` bytes.
std::string SafeFileNamePart(std::string const& text, std::size_t maxLength);

}  // namespace vireo::server::vout
