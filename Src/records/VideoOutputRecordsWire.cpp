// The field lists of the video-output records. Integers are written sign- or zero-extended to
// 64 bits by their type and read back from either 64-bit kind keeping the low 32 bits; floats are
// read from any number kind. An absent member reads as zero or empty.
#include "VireoRecords/VideoOutputRecordsWire.h"

namespace VireoServer {
namespace wire {

template <>
struct RecordFields<QTComponentDescription> {
    static auto const& List() {
        using R = QTComponentDescription;
        static auto const list =
            std::make_tuple(Field("inQTCompDesc.mQTComponentDesc_componentType",
                                  &R::mQTComponentDesc_componentType),
                            Field("inQTCompDesc.mQTComponentDesc_componentSubType",
                                  &R::mQTComponentDesc_componentSubType),
                            Field("inQTCompDesc.mQTComponentDesc_componentManufacturer",
                                  &R::mQTComponentDesc_componentManufacturer),
                            Field("inQTCompDesc.mQTComponentDesc_componentFlags",
                                  &R::mQTComponentDesc_componentFlags),
                            Field("inQTCompDesc.mQTComponentDesc_componentFlagsMask",
                                  &R::mQTComponentDesc_componentFlagsMask));
        return list;
    }
};

template <>
struct RecordFields<QTVOutDisplayModeInfo> {
    static auto const& List() {
        using R = QTVOutDisplayModeInfo;
        static auto const list = std::make_tuple(
            Field("inQTVOutDisplayModeInfo.mWidth", &R::mWidth),
            Field("inQTVOutDisplayModeInfo.mHeight", &R::mHeight),
            Field("inQTVOutDisplayModeInfo.mResolution_XFixed", &R::mResolution_XFixed),
            Field("inQTVOutDisplayModeInfo.mResolution_XFloat", &R::mResolution_XFloat),
            Field("inQTVOutDisplayModeInfo.mResolution_YFixed", &R::mResolution_YFixed),
            Field("inQTVOutDisplayModeInfo.mResolution_YFloat", &R::mResolution_YFloat),
            Field("inQTVOutDisplayModeInfo.mRefresh_Fixed", &R::mRefresh_Fixed),
            Field("inQTVOutDisplayModeInfo.mRefresh_Float", &R::mRefresh_Float),
            Field("inQTVOutDisplayModeInfo.mQTPixelType", &R::mQTPixelType),
            Field("inQTVOutDisplayModeInfo.mQTAtomIDForMode", &R::mQTAtomIDForMode),
            Field("inQTVOutDisplayModeInfo.mDisplayModeID", &R::mDisplayModeID),
            Field("inQTVOutDisplayModeInfo.mDisplayModeName", &R::mDisplayModeName));
        return list;
    }
};

template <>
struct RecordFields<QTVOutComponent> {
    static auto const& List() {
        using R = QTVOutComponent;
        static auto const list = std::make_tuple(
            Field("inQTVOutComponent.mVOutComponentName", &R::mVOutComponentName),
            Field("inQTVOutComponent.mQTComponentDescription", &R::mQTComponentDescription),
            Field("inQTVOutComponent.mDisplayModes", &R::mDisplayModes));
        return list;
    }
};

template <>
struct RecordFields<QTVOutOperationResult> {
    static auto const& List() {
        using R = QTVOutOperationResult;
        static auto const list =
            std::make_tuple(Field("inOperationResult.mOperationResult", &R::mOperationResult),
                            Field("inOperationResult.mApplicationUsingComponentName",
                                  &R::mApplicationUsingComponentName),
                            Field("inOperationResult.mQTResultCode", &R::mQTResultCode));
        return list;
    }
};

template <>
struct RecordFields<QTVGetActiveDisplayModeData> {
    static auto const& List() {
        using R = QTVGetActiveDisplayModeData;
        static auto const list =
            std::make_tuple(Field("inDisplayMode.mDisplayModeInfo", &R::mDisplayModeInfo),
                            Field("inDisplayMode.mOperationResult", &R::mOperationResult));
        return list;
    }
};

template <>
struct RecordFields<QTVOutUseComponentData> {
    static auto const& List() {
        using R = QTVOutUseComponentData;
        static auto const list = std::make_tuple(
            Field("inUseComponentData.mQTComponentDescription", &R::mQTComponentDescription),
            Field("inUseComponentData.mQTAtomIDForDisplayMode", &R::mQTAtomIDForDisplayMode),
            Field("inUseComponentData.mDisplayModeID", &R::mDisplayModeID),
            Field("inUseComponentData.mApplicationName", &R::mApplicationName),
            Field("inUseComponentData.mVOutOperationResult", &R::mVOutOperationResult));
        return list;
    }
};

}  // namespace wire
}  // namespace VireoServer

VIREO_DEFINE_WIRE_RECORD(VireoServer::QTComponentDescription);
VIREO_DEFINE_WIRE_RECORD(VireoServer::QTVOutDisplayModeInfo);
VIREO_DEFINE_WIRE_RECORD(VireoServer::QTVOutComponent);
VIREO_DEFINE_WIRE_RECORD(VireoServer::QTVOutOperationResult);
VIREO_DEFINE_WIRE_RECORD(VireoServer::QTVGetActiveDisplayModeData);
VIREO_DEFINE_WIRE_RECORD(VireoServer::QTVOutUseComponentData);
