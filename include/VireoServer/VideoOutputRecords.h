#pragma once
// Records of the video-output service: the components a server offers with their display modes,
// taking one into use, and the outcome of every video-output operation.
//
// Every field starts at zero or empty: that is also what a member absent from an answer reads
// as. Text marked UTF-8 is kept as it travels; the application names are UTF-16.
#include <cstdint>
#include <vector>

#include "basekit/Strings.h"

namespace VireoServer {

// Outcome codes of QTVOutOperationResult::mOperationResult that the library itself sets; every
// other code comes from the server (docs/video-output.md lists them).
constexpr std::int32_t kVOutOperationSucceeded = 0;
// No usable answer arrived, or the frame could not be sent.
constexpr std::int32_t kVOutOperationFailed = 1;
// The engine is unavailable or a codec settings dialog is showing.
constexpr std::int32_t kVOutOperationUnavailable = 4;

// Identifies one component (FourCC codes and flags).
struct QTComponentDescription {
    std::uint32_t mQTComponentDesc_componentType = 0;
    std::uint32_t mQTComponentDesc_componentSubType = 0;
    std::uint32_t mQTComponentDesc_componentManufacturer = 0;
    std::uint32_t mQTComponentDesc_componentFlags = 0;
    std::uint32_t mQTComponentDesc_componentFlagsMask = 0;
};

// One display mode of a component. The resolutions and the refresh rate come twice: as the bit
// pattern of a signed 16.16 fixed-point value and as a float; neither is derived from the other.
struct QTVOutDisplayModeInfo {
    std::int32_t mWidth = 0;
    std::int32_t mHeight = 0;
    std::int32_t mResolution_XFixed = 0;
    float mResolution_XFloat = 0.0f;
    std::int32_t mResolution_YFixed = 0;
    float mResolution_YFloat = 0.0f;
    std::int32_t mRefresh_Fixed = 0;
    float mRefresh_Float = 0.0f;
    std::int32_t mQTPixelType = 0;
    std::int32_t mQTAtomIDForMode = 0;  // the mode's place in the component's list
    std::int32_t mDisplayModeID = 0;
    basekit::UTF8String mDisplayModeName;
};

// One component with its display modes, in the server's order.
struct QTVOutComponent {
    basekit::UTF8String mVOutComponentName;
    QTComponentDescription mQTComponentDescription;
    std::vector<QTVOutDisplayModeInfo> mDisplayModes;
};

// The outcome of a video-output operation.
struct QTVOutOperationResult {
    std::int32_t mOperationResult = 0;
    basekit::UTF16String mApplicationUsingComponentName;
    std::int32_t mQTResultCode = 0;
};

// The display mode in force and the outcome.
struct QTVGetActiveDisplayModeData {
    QTVOutDisplayModeInfo mDisplayModeInfo;
    QTVOutOperationResult mOperationResult;
};

// Taking a component into use: the request and its answer.
struct QTVOutUseComponentData {
    QTComponentDescription mQTComponentDescription;
    std::int32_t mQTAtomIDForDisplayMode = 0;
    std::int32_t mDisplayModeID = 0;
    basekit::UTF16String mApplicationName;
    QTVOutOperationResult mVOutOperationResult;
};

}  // namespace VireoServer
