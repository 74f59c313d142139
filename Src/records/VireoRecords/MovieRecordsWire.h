#pragma once
// Converters of the movie records (VireoServer/MovieRecords.h) between the variant tree and the
// library's types, used by the library to read answers and by the server to write them.
//
// On the wire: "MovieProperties" holds the optional groups "Video", "Audio" and "Timecode"
// (a group left out reads as its defaults); "SupportedPixelFormats" and "ChannelLayout" are
// required arrays; the timecode fields after "HasTimecode" exist only while it is true; a pixel
// format without "properties" reads as properties 0x3C000.
#include "VireoRecords/RecordScheme.h"
#include "VireoServer/MovieRecords.h"
#include "basemediatypes/JSONConvert.h"

VIREO_DECLARE_WIRE_RECORD(VireoServer::PixelFormat);
VIREO_DECLARE_WIRE_RECORD(VireoServer::VideoProperties);
VIREO_DECLARE_WIRE_RECORD(VireoServer::AudioProperties);
VIREO_DECLARE_WIRE_RECORD(VireoServer::TimecodeProperties);
VIREO_DECLARE_WIRE_RECORD(VireoServer::MovieProperties);
VIREO_DECLARE_WIRE_RECORD(VireoServer::OpenMovieFromFileResult);
