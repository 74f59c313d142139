#pragma once
// Reading a movie's properties from an opened container.
#include <cstdint>

#include "engine/FFmpegHandles.h"
#include "engine/MovieInfo.h"

namespace vireo::engine::detail {

struct StreamChoice {
    int video = -1;                    // decodable video stream, -1 for none
    int audio = -1;                    // decodable audio stream, -1 for none
    int audioStreams = 0;              // audio streams of any kind
    bool videoWithoutDecoder = false;  // a video stream exists but cannot be decoded
};

StreamChoice ChooseStreams(AVFormatContext const* container);

// Fills everything that the container tells about the video stream. The start of the stream and
// the field order of content that does not declare one come from the first decoded frame
// (see Movie.cpp).
void ReadVideoInfo(AVFormatContext const* container, int stream, VideoInfo& info);

// `exactDuration` is set when the duration comes from the container's own count of samples, so
// that reading stops there (compressed formats decode some padding beyond the last sample).
void ReadAudioInfo(AVFormatContext const* container, int stream, int audioStreams, AudioInfo& info,
                   bool& exactDuration);

void ReadTimecode(AVFormatContext const* container, int videoStream, VideoInfo const& video,
                  TimecodeInfo& info);

void ReadCreationTime(AVFormatContext const* container, CreationTime& info);

}  // namespace vireo::engine::detail
