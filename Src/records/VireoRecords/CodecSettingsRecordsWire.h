#pragma once
// Converters of the codec settings records (VireoServer/CodecSettingsRecords.h), used by the
// library and the server alike. The private data fields travel as base64 text; text that is not
// base64 makes reading throw (basekit::config::Error, after a contract report).
#include "Kino/JSONConvert.h"
#include "VireoRecords/RecordScheme.h"
#include "VireoServer/CodecSettingsRecords.h"

VIREO_DECLARE_WIRE_RECORD(VireoServer::VireoVideoCodecDialogData);
VIREO_DECLARE_WIRE_RECORD(VireoServer::VireoConvertCodecSettingsData);
