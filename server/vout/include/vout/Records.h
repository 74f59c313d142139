#pragma once
// The video-output records as the server side fills them, and every outcome code.
//
// Component descriptions, display modes and components are the wire records themselves
// (VireoServer/VideoOutputRecords.h). The outcome and the use of a component are records of
// their own with the field names of the wire records: their text is UTF-8, and an outcome starts
// as kVOutOperationFailed.
#include <cstdint>
#include <string>
#include <vector>

#include "VireoServer/VideoOutputRecords.h"

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
using ComponentDescription = ::VireoServer::QTComponentDescription;
using DisplayModeInfo = ::VireoServer::QTVOutDisplayModeInfo;
using Component = ::VireoServer::QTVOutComponent;

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
