#pragma once
// Records of the export, codec, video-output and file services. Their fields are filled in as
// those services are built; until then the operations that use them follow their no-server
// outcome.
#include <cstdint>

#include "VireoServer/CodecSettingsRecords.h"
#include "VireoServer/FileRecords.h"
#include "VireoServer/VideoOutputRecords.h"
#include "basekit/Strings.h"
#include "basekit/utility/Guid.h"

namespace VireoServer {

struct CodecData {
    std::uint32_t subType = 0;
    basekit::UTF16String name;
};

struct AudioCodecData {
    std::uint32_t codecID = 0;
    basekit::UTF16String name;
};

struct StartExportData {};

struct ExportFrameReceivedData {
    basekit::utility::Guid mExporterInstanceID;
    basekit::utility::Guid mPublishedFrameIdentifier;
    std::uint32_t mFrameNumber = 0;
    std::int32_t mExporterResultCode = -1;
};

struct ExportAudioDataReceived {
    basekit::utility::Guid mExporterInstanceID;
    basekit::utility::Guid mPublishedAudioDataIdentifier;
    std::int64_t mStartingAudioSample = 0;
    std::int64_t mNumAudioSamples = 0;
    std::int32_t mExporterResultCode = -1;
};

struct ExportCompletedData {
    basekit::utility::Guid mExporterInstanceID;
    std::int32_t mServerResultCode = -1;
};


}  // namespace VireoServer
