#pragma once
// Records of the codec settings services: a codec's settings dialog and the conversion of
// settings stored as a QuickTime atom container. The private data they carry is opaque to the
// library (docs/codec-settings.md describes what the server puts in it).
#include <cstdint>

#include "Kino/BinaryData.h"

namespace VireoServer {

// The request that opens a codec's settings dialog, and the answer that closes it. A default
// record (cancelled, no data) is what a host receives when the request failed.
struct VireoVideoCodecDialogData {
    std::int32_t mVideoCodecFourCC = 0;  // the codec (a CodecData subType)
    bool mWasCancelled = true;           // the user closed the dialog without accepting
    // Request: the settings the dialog starts from (empty: the codec's defaults).
    // Answer: the accepted settings.
    Kino::BinaryData mVideoCodecPrivateData;
};

// One conversion, sent whole and answered whole. A default record (result 2, inputs reset) is
// what a host holds after a conversion that got no answer.
struct VireoConvertCodecSettingsData {
    // The default result: no answer arrived.
    static constexpr std::int32_t kNoAnswer = 2;

    bool mInIsVideoCodec = true;          // settings of a video codec
    std::int32_t mInCodecFourCC = 0;      // the codec (0: the one the container names)
    Kino::BinaryData mInQTAtomContainer;  // the settings as a QuickTime atom container
    Kino::BinaryData mOutCodecSettings;   // the converted private data
    std::int32_t mOutConvertSettingsResultCode = kNoAnswer;  // 0: converted
};

}  // namespace VireoServer
