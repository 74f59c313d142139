#pragma once
// Converters of the file services' records (VireoServer/FileRecords.h). TrimMovieParams travels
// with bare keys ("TrimIn", ..., "Source", "Destination"), integers as signed 64-bit values.
#include "VireoRecords/RecordScheme.h"
#include "VireoServer/FileRecords.h"

VIREO_DECLARE_WIRE_RECORD(VireoServer::TrimMovieParams);
VIREO_DECLARE_WIRE_RECORD(VireoServer::ImportableFileExtensionItem);
