// The field lists of the codec settings records. A default record says "cancelled" and "no
// answer" (result 2), but an answer object that leaves those keys out means the opposite: not
// cancelled, and result 0; the absent values below say so.
#include "VireoRecords/CodecSettingsRecordsWire.h"

namespace VireoServer {
namespace wire {

template <>
struct RecordFields<VireoVideoCodecDialogData> {
    static auto const& List() {
        using D = VireoVideoCodecDialogData;
        static auto const list = std::make_tuple(
            Field("inVideoCodecDialogData.mVideoCodecFourCC", &D::mVideoCodecFourCC),
            FieldOr("inVideoCodecDialogData.mWasCancelled", &D::mWasCancelled, false),
            Field("inVideoCodecDialogData.mVideoCodecPrivateData", &D::mVideoCodecPrivateData));
        return list;
    }
};

template <>
struct RecordFields<VireoConvertCodecSettingsData> {
    static auto const& List() {
        using C = VireoConvertCodecSettingsData;
        static auto const list = std::make_tuple(
            FieldOr("inConvertSettings.mInIsVideoCodec", &C::mInIsVideoCodec, false),
            Field("inConvertSettings.mInCodecFourCC", &C::mInCodecFourCC),
            Field("inConvertSettings.mInQTAtomContainer", &C::mInQTAtomContainer),
            Field("inConvertSettings.mOutCodecSettings", &C::mOutCodecSettings),
            FieldOr("inConvertSettings.mOutConvertSettingsResultCode",
                    &C::mOutConvertSettingsResultCode, 0));
        return list;
    }
};

}  // namespace wire
}  // namespace VireoServer

VIREO_DEFINE_WIRE_RECORD(VireoServer::VireoVideoCodecDialogData);
VIREO_DEFINE_WIRE_RECORD(VireoServer::VireoConvertCodecSettingsData);
