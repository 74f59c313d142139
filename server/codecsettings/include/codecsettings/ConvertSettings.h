#pragma once
// Converting standard compression settings stored as a QuickTime atom container into the
// private settings data of an export video codec (docs/codec-settings.md), the way the
// "ConvertQTAtomContainerSettingsToCodecSettings" method answers.
//
// What is taken over, onto the codec's defaults (or onto the codec's own settings when the
// container's 'cdec' atom holds readable private data of this codec):
//   - H.264: a data rate (bytes/s) selects rate control by bitrate at that rate in kbit/s; a
//     key-frame rate above 0 becomes the key-frame interval; frame reordering switched off
//     makes B-frames 0.
//   - Animation: a key-frame rate above 0 becomes the key-frame interval.
// The spatial quality, depth and frame rate stay with the export's own fields (quality,
// depth, rate); they are checked against what the codec can do but are not part of the private
// data. docs/codec-settings-dialog.md has the whole table.
//
// Thread use: any thread; nothing blocks (the first call builds the export catalogue).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vireo::server::codecsettings {

struct ConversionOutcome {
    std::int32_t result = 0;                  // kConvertOK or a code of CodecSettingsErrors.h
    std::uint32_t codec = 0;                  // the codec converted for (when known)
    std::vector<std::uint8_t> codecSettings;  // the private data; empty on failure
    std::string why;                          // on failure: what was wrong, for diagnostics
};

// `isVideoCodec`, `codec` and the container are the request's mInIsVideoCodec, mInCodecFourCC
// (0: take the container's codec type) and mInQTAtomContainer.
ConversionOutcome ConvertCodecSettings(bool isVideoCodec, std::uint32_t codec,
                                       std::uint8_t const* container, std::size_t size);

}  // namespace vireo::server::codecsettings
