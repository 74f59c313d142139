#pragma once
// Converters of the codec catalogue and export records (VireoServer/ExportRecords.h), used by the
// library to write calls and read answers and by the server to read calls and write answers.
//
// The three arrays of a CodecData are required (an object without one does not convert);
// "inAudioCodecData.audioChannelsArray" is optional (absent: no channel counts). An answer record
// whose result key is absent reads as result 0; a record made up by the library has -1.
#include "Kino/JSONConvert.h"
#include "VireoRecords/RecordScheme.h"
#include "VireoServer/ExportRecords.h"
#include "basemediatypes/JSONConvert.h"

VIREO_DECLARE_WIRE_RECORD(VireoServer::FrameDuration);
VIREO_DECLARE_WIRE_RECORD(VireoServer::CodecData);
VIREO_DECLARE_WIRE_RECORD(VireoServer::AudioCodecData);
VIREO_DECLARE_WIRE_RECORD(VireoServer::ExportMarkerData);
VIREO_DECLARE_WIRE_RECORD(VireoServer::ExportCaptionData);
VIREO_DECLARE_WIRE_RECORD(VireoServer::StartExportData);
VIREO_DECLARE_WIRE_RECORD(VireoServer::ExportFrameReceivedData);
VIREO_DECLARE_WIRE_RECORD(VireoServer::ExportAudioDataReceived);
VIREO_DECLARE_WIRE_RECORD(VireoServer::ExportCompletedData);
