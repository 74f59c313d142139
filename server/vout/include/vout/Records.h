#pragma once
// The video-output records as the server side fills them, and every outcome code.
//
// The field names are those of the wire records (VireoServer::QTVOutComponent and its kin), so
// that code written against one set of names (the console report, ConsoleReport.h) works with
// both. Text is UTF-8 here, as it travels on the wire.
#include <cstdint>
#include <string>
#include <vector>

namespace vireo::server::vout {

// Outcome codes of mOperationResult.
enum OutcomeCode : std::int32_t {
    kVOutOperationSucceeded = 0,
    // Set by the client only: no usable answer arrived, or the frame could not be sent. The
    // server never answers with it, so that the client always takes the server's answer.
    kVOutOperationFailed = 1,
    // Another application (or another session) uses the component; its name is in
    // mApplicationUsingComponentName.
    kVOutComponentInUse = 2,
    // No component of this machine matches the description.
    kVOutComponentNotFound = 3,
    // Set by the client only: the engine is unavailable or a codec dialog is showing.
    kVOutOperationUnavailable = 4,
    // The component has no display mode with the given identifier (or atom identifier).
    kVOutDisplayModeNotFound = 5,
    // The calling session has no component in use.
    kVOutNoComponentInUse = 6,
    // "QTVOutBlitFrame" or "QTVOutEndBlitting" without "QTVOutBeginBlitting" first.
    kVOutNotBlitting = 7,
    // The frame is missing, unreadable or of a pixel format the output cannot show;
    // mQTResultCode holds the frame layer's (negative) result when it could not be opened.
    kVOutBadFrame = 8,
    // The output failed: the window or the file could not be opened or written. mQTResultCode
    // holds the system error number (positive), kResultDisplayError (-1) or
    // kResultDisplayTimeout (-2).
    kVOutOutputFailed = 9,
    // The calling session already uses a component; end that use first. The name is the
    // session's own application.
    kVOutAlreadyUsingComponent = 10,
};

// mQTResultCode values of kVOutOutputFailed that are not system error numbers.
constexpr std::int32_t kResultDisplayError = -1;    // the display refused (see the server log)
constexpr std::int32_t kResultDisplayTimeout = -2;  // the display did not answer in time

// Identifies one component. Zero in type, subtype or manufacturer matches any value; the flags
// match where the mask has bits set.
struct ComponentDescription {
    std::uint32_t mQTComponentDesc_componentType = 0;
    std::uint32_t mQTComponentDesc_componentSubType = 0;
    std::uint32_t mQTComponentDesc_componentManufacturer = 0;
    std::uint32_t mQTComponentDesc_componentFlags = 0;
    std::uint32_t mQTComponentDesc_componentFlagsMask = 0;
};

struct DisplayModeInfo {
    std::int32_t mWidth = 0;
    std::int32_t mHeight = 0;
    std::int32_t mResolution_XFixed = 0;  // signed 16.16 fixed point bit pattern
    float mResolution_XFloat = 0.0f;
    std::int32_t mResolution_YFixed = 0;
    float mResolution_YFloat = 0.0f;
    std::int32_t mRefresh_Fixed = 0;
    float mRefresh_Float = 0.0f;
    std::int32_t mQTPixelType = 0;
    std::int32_t mQTAtomIDForMode = 0;
    std::int32_t mDisplayModeID = 0;
    std::string mDisplayModeName;
};

struct Component {
    std::string mVOutComponentName;
    ComponentDescription mQTComponentDescription;
    std::vector<DisplayModeInfo> mDisplayModes;
};

struct OperationResult {
    std::int32_t mOperationResult = kVOutOperationFailed;
    std::string mApplicationUsingComponentName;
    std::int32_t mQTResultCode = 0;
};

struct ActiveDisplayModeData {
    DisplayModeInfo mDisplayModeInfo;
    OperationResult mOperationResult;
};

struct UseComponentData {
    ComponentDescription mQTComponentDescription;
    std::int32_t mQTAtomIDForDisplayMode = 0;
    std::int32_t mDisplayModeID = 0;
    std::string mApplicationName;
    OperationResult mVOutOperationResult;
};

}  // namespace vireo::server::vout
