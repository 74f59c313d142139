#pragma once
// Converters of the video-output records (VireoServer/VideoOutputRecords.h), used by the library
// and by the server.
#include "VireoRecords/RecordScheme.h"
#include "VireoServer/VideoOutputRecords.h"

VIREO_DECLARE_WIRE_RECORD(VireoServer::QTComponentDescription);
VIREO_DECLARE_WIRE_RECORD(VireoServer::QTVOutDisplayModeInfo);
VIREO_DECLARE_WIRE_RECORD(VireoServer::QTVOutComponent);
VIREO_DECLARE_WIRE_RECORD(VireoServer::QTVOutOperationResult);
VIREO_DECLARE_WIRE_RECORD(VireoServer::QTVGetActiveDisplayModeData);
VIREO_DECLARE_WIRE_RECORD(VireoServer::QTVOutUseComponentData);

namespace VireoServer {
namespace wire {
// The member of the "GetQTVOutComponents" answer that holds the list (the one video-output key
// without a record prefix).
constexpr char kQTVOutComponentsKey[] = "QTVOutComponents";
}  // namespace wire
}  // namespace VireoServer
