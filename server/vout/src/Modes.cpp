#include "Modes.h"

#include <cmath>
#include <limits>
#include <set>

namespace vireo::server::vout {

std::uint32_t DisplaySubType(int displayIndex) {
    std::uint32_t const prefix = (std::uint32_t{'d'} << 24) | (std::uint32_t{'p'} << 16);
    if (displayIndex >= 0 && displayIndex < 100) {
        // 'dp' and two decimal digits.
        return prefix | (static_cast<std::uint32_t>('0' + displayIndex / 10) << 8) |
               static_cast<std::uint32_t>('0' + displayIndex % 10);
    }
    return prefix | (static_cast<std::uint32_t>(displayIndex) & 0xFFFFu);
}

ComponentDescription MakeDescription(std::uint32_t subType) {
    ComponentDescription description;
    description.mQTComponentDesc_componentType = kComponentType;
    description.mQTComponentDesc_componentSubType = subType;
    description.mQTComponentDesc_componentManufacturer = kManufacturer;
    return description;
}

bool DescriptionMatches(ComponentDescription const& wanted, ComponentDescription const& have) {
    auto const same = [](std::uint32_t want, std::uint32_t value) {
        return want == 0 || want == value;
    };
    std::uint32_t const mask = wanted.mQTComponentDesc_componentFlagsMask;
    return same(wanted.mQTComponentDesc_componentType, have.mQTComponentDesc_componentType) &&
           same(wanted.mQTComponentDesc_componentSubType, have.mQTComponentDesc_componentSubType) &&
           same(wanted.mQTComponentDesc_componentManufacturer,
                have.mQTComponentDesc_componentManufacturer) &&
           (wanted.mQTComponentDesc_componentFlags & mask) ==
               (have.mQTComponentDesc_componentFlags & mask);
}

std::int32_t ToFixed(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    double const scaled = std::round(value * 65536.0);
    if (scaled >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (scaled <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(scaled);
}

std::string ModeName(ScreenMode const& mode) {
    std::string name = std::to_string(mode.width) + " x " + std::to_string(mode.height);
    if (mode.refreshHz > 0) {
        name += " @ " + std::to_string(mode.refreshHz) + " Hz";
    }
    name += ", " + std::to_string(mode.bitsPerPixel) + "-bit";
    if (!mode.formatName.empty()) {
        name += " (" + mode.formatName + ")";
    }
    return name;
}

std::int32_t ModeIdentifier(ScreenMode const& mode) {
    std::uint32_t hash = 2166136261u;
    auto const add = [&hash](std::uint32_t word) {
        for (int i = 0; i < 4; ++i) {
            hash ^= (word >> (8 * i)) & 0xFFu;
            hash *= 16777619u;
        }
    };
    add(static_cast<std::uint32_t>(mode.width));
    add(static_cast<std::uint32_t>(mode.height));
    add(static_cast<std::uint32_t>(mode.refreshHz));
    add(mode.nativeFormat);
    hash &= 0x7FFFFFFFu;
    return hash == 0 ? 1 : static_cast<std::int32_t>(hash);
}

std::vector<DisplayModeInfo> MakeModeList(std::vector<ScreenMode> const& modes, double xDpi,
                                          double yDpi) {
    std::vector<DisplayModeInfo> list;
    std::set<std::int32_t> used;
    for (ScreenMode const& mode : modes) {
        DisplayModeInfo info;
        info.mWidth = mode.width;
        info.mHeight = mode.height;
        info.mResolution_XFixed = ToFixed(xDpi);
        info.mResolution_XFloat = static_cast<float>(xDpi);
        info.mResolution_YFixed = ToFixed(yDpi);
        info.mResolution_YFloat = static_cast<float>(yDpi);
        info.mRefresh_Fixed = ToFixed(mode.refreshHz);
        info.mRefresh_Float = static_cast<float>(mode.refreshHz);
        // QuickTime's pixel types for packed RGB are the storage depth (32 = 32-bit ARGB).
        info.mQTPixelType = mode.bitsPerPixel;
        info.mQTAtomIDForMode = static_cast<std::int32_t>(list.size()) + 1;
        std::int32_t id = ModeIdentifier(mode);
        while (!used.insert(id).second) {
            id = id == std::numeric_limits<std::int32_t>::max() ? 1 : id + 1;
        }
        info.mDisplayModeID = id;
        info.mDisplayModeName = ModeName(mode);
        list.push_back(std::move(info));
    }
    return list;
}

DisplayModeInfo CaptureModeInfo() {
    ScreenMode any;
    std::vector<DisplayModeInfo> list = MakeModeList({any}, 72.0, 72.0);
    list.front().mDisplayModeName = "Frames as received";
    return list.front();
}

int FindMode(std::vector<DisplayModeInfo> const& modes, std::int32_t atomId, std::int32_t modeId) {
    for (std::size_t i = 0; i < modes.size(); ++i) {
        bool const found =
            modeId != 0 ? modes[i].mDisplayModeID == modeId : modes[i].mQTAtomIDForMode == atomId;
        if (found) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

Placement FitFrame(std::uint32_t width, std::uint32_t height, basemediatypes::PixelAspectRatio par,
                   int outWidth, int outHeight) {
    Placement placement;
    if (width == 0 || height == 0 || outWidth <= 0 || outHeight <= 0) {
        return placement;
    }
    // The picture's shape: width stretched by the pixel aspect ratio (1 when unknown).
    double const pictureWidth = static_cast<double>(width) * par.AsDouble();
    double const pictureHeight = static_cast<double>(height);
    double const scale = std::min(outWidth / pictureWidth, outHeight / pictureHeight);
    placement.width =
        std::max(1, std::min(outWidth, static_cast<int>(std::lround(pictureWidth * scale))));
    placement.height =
        std::max(1, std::min(outHeight, static_cast<int>(std::lround(pictureHeight * scale))));
    placement.x = (outWidth - placement.width) / 2;
    placement.y = (outHeight - placement.height) / 2;
    return placement;
}

std::string SafeFileNamePart(std::string const& text, std::size_t maxLength) {
    std::string safe;
    for (char c : text) {
        if (safe.size() >= maxLength) {
            break;
        }
        bool const keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        safe.push_back(keep ? c : '_');
    }
    return safe;
}

}  // namespace vireo::server::vout
