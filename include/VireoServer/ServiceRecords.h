#pragma once
// Records of the export, codec, video-output and file services. Their fields are filled in as
// those services are built; until then the operations that use them follow their no-server
// outcome.
#include <cstdint>

#include "VireoServer/ExportRecords.h"
#include "basekit/Strings.h"
#include "basekit/utility/Guid.h"

namespace VireoServer {

struct VireoVideoCodecDialogData {};
struct VireoConvertCodecSettingsData {};

struct QTVOutComponent {};
struct QTVOutOperationResult {};
struct QTVOutUseComponentData {};
struct QTVGetActiveDisplayModeData {};

struct TrimMovieParams {};

struct ImportableFileExtensionItem {
    basekit::UTF16String extension;
    basekit::UTF16String description;
};

}  // namespace VireoServer
