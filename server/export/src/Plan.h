#pragma once
// An export's settings checked and turned into what the encoders and the muxer need. Making a
// plan touches nothing on disk; the first refusal found is its result.
#include <cstdint>
#include <string>
#include <vector>

#include "EncoderTable.h"
#include "engine/FFmpegHandles.h"
#include "export/CodecSettings.h"
#include "export/ExportSettings.h"

namespace vireo::server::exporting::detail {

struct VideoPlan {
    VideoEncoderEntry const* entry = nullptr;
    CodecSettings codecSettings;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int64_t timeScale = 0;   // the track's units per second
    std::int64_t sampleSize = 0;  // one frame, in timeScale units
    std::int64_t frameLimit = 0;  // frames in the export's range
    AVRational pixelAspect{1, 1};
    std::int32_t fieldType = 0;  // FieldType of Catalogue.h
    AVPixelFormat encoderFormat = AV_PIX_FMT_NONE;
    bool alpha = false;  // writes the frames' alpha
    bool invertAlpha = false;
    AVColorSpace colorSpace = AVCOL_SPC_UNSPECIFIED;
    AVColorRange colorRange = AVCOL_RANGE_UNSPECIFIED;
    bool rgb = false;  // the encoder takes RGB (or grey), not Y'CbCr

    // Encoder parameters (each used by its family only).
    std::int32_t quality = 0;  // 0 .. 1024
    std::int32_t keyFrameInterval = 0;
    std::int32_t bFrames = 0;
    std::string x264Profile, x264Preset;
    bool rateByBitrate = false;
    std::int64_t averageBitrate = 0;  // bits per second
    std::int64_t maxBitrate = 0;      // bits per second, 0: no limit
    const char* proresProfile = nullptr;
    std::int32_t proresQuantiser = 0;
    std::string dnxProfile;  // FFmpeg's "profile" option of the dnxhd encoder
    std::int64_t dnxBitrate = 0;
    std::int32_t jpegQuantiser = 0;
    std::int32_t pngCompression = 0;
    std::int32_t pngPrediction = 0;
};

struct AudioPlan {
    AudioEncoderEntry const* entry = nullptr;
    std::int32_t sampleRate = 0;
    std::int32_t channels = 0;
    AVChannelLayout layout{};
    AVSampleFormat inputFormat = AV_SAMPLE_FMT_FLT;  // of submitted blocks, interleaved
    std::int32_t bytesPerSample = 4;                 // of one channel of submitted blocks
    std::int64_t bitrate = 0;                        // AAC only
    std::int64_t sampleLimit = 0;                    // sample frames in the export's range
};

struct ChapterPlan {
    std::int64_t start = 0;  // in EncodePlan::timelineBase units
    std::int64_t end = 0;
    std::string title;
};

struct CaptionPlan {
    std::int64_t start = 0;  // in EncodePlan::timelineBase units
    std::int64_t duration = 0;
    std::vector<std::uint8_t> pairs;  // CEA-608 byte pairs
};

struct EncodePlan {
    std::string destination;
    bool hasVideo = false;
    bool hasAudio = false;
    VideoPlan video;
    AudioPlan audio;
    AVRational timelineBase{1, 1000};  // of chapters and captions
    std::int64_t timelineLength = 0;   // the export's range in timelineBase units
    std::vector<ChapterPlan> chapters;
    std::vector<CaptionPlan> captions;
    std::int64_t posterMicroseconds = 0;  // movie time of the poster frame
};

// Checks `settings` and fills `plan`; returns kExportOK or the first refusal (ExportErrors.h).
std::int32_t MakePlan(ExportSettings const& settings, EncodePlan& plan);

// Parts of MakePlan, in the order it runs them.
std::int32_t PlanVideo(ExportSettings const& settings, VideoPlan& plan);
std::int32_t PlanAudio(ExportSettings const& settings, AudioPlan& plan);

// The number of `unit`-long steps (unit = unitNumerator / unitDenominator seconds) that cover
// `ticks` at `ticksPerSecond`, rounded up; -1 when it does not fit 63 bits.
std::int64_t CountSteps(std::int64_t ticks, std::int64_t ticksPerSecond, std::int64_t unitNumerator,
                        std::int64_t unitDenominator);

}  // namespace vireo::server::exporting::detail
