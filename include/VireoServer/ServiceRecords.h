#pragma once
// Records of the export, codec settings, video-output and file services, one header each.
#include "VireoServer/CodecSettingsRecords.h"
#include "VireoServer/ExportRecords.h"
#include "VireoServer/FileRecords.h"
#include "VireoServer/VideoOutputRecords.h"
