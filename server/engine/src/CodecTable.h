#pragma once
// Mapping FFmpeg's codec descriptions to QuickTime's codes.
#include <cstdint>
#include <vector>

#include "engine/FFmpegHandles.h"

namespace vireo::engine::detail {

// QuickTime FourCC of a video codec: the sample description's own code for QuickTime files,
// otherwise the table in docs/media-engine.md; '????' when nothing fits.
std::uint32_t VideoCodecFourCC(AVFormatContext const* container, AVCodecParameters const* codec);

// QuickTime audio format id ('lpcm' for every PCM variant, 'aac ', '.mp3', ...; '????' unknown).
std::uint32_t AudioFormatID(AVCodecParameters const* codec);

// The stored sample type (SampleType of MovieInfo.h).
std::int32_t AudioSampleType(AVCodecParameters const* codec);

// One channel label per channel, in channel order (Core Audio's channel label numbers).
std::vector<std::uint32_t> ChannelLabels(AVChannelLayout const& layout);

}  // namespace vireo::engine::detail
