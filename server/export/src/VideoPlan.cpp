// Checking the video settings of an export and choosing the encoder's parameters.
#include <cmath>
#include <cstring>

#include "Plan.h"
#include "engine/FourCC.h"
#include "engine/PixelFormats.h"
#include "export/Catalogue.h"
#include "export/ExportErrors.h"

extern "C" {
#include <libavutil/rational.h>
}

namespace vireo::server::exporting::detail {

namespace {

using engine::MakeFourCC;

constexpr std::int64_t kMaxFramesPerSecond = 1000;
constexpr std::uint32_t kMaxKeyFrameInterval = 10000;
constexpr double kMaxMegabitsPerSecond = 10000;

bool IsReadableFormat(std::uint32_t fourcc) {
    return fourcc == engine::kFormatBGRA || fourcc == engine::kFormat2vuy ||
           fourcc == engine::kFormatB64a || fourcc == MakeFourCC("v210");
}

// The track's time scale and frame duration: the QuickTime values when given, else the host's
// ticks per frame at its tick rate, reduced.
std::int32_t PlanRate(ExportSettings const& s, VideoPlan& plan) {
    std::int64_t scale = s.mQTVideoTimescale;
    std::int64_t size = s.mQTVideoSampleSize;
    if (scale == 0 || size == 0) {
        if (s.mVideoFrameRate == 0 || s.mVideoFrameRate > std::uint64_t(INT64_MAX)) {
            return kErrFrameRate;
        }
        int num = 0, den = 0;
        // The reduced fraction must fit the track's 32-bit time scale; a rate that does not
        // reduce that far is not a rate a movie can hold exactly.
        if (!av_reduce(&num, &den, std::int64_t(s.mVideoFrameRate), s.mTicksPerSecond, INT32_MAX)) {
            return kErrFrameRate;
        }
        size = num;
        scale = den;
    }
    if (scale <= 0 || size <= 0 || scale > INT32_MAX || size > INT32_MAX ||
        scale > size * kMaxFramesPerSecond || size / scale > 3600) {
        return kErrFrameRate;
    }
    plan.timeScale = scale;
    plan.sampleSize = size;
    return kExportOK;
}

bool IsDNxHDRate(VideoPlan const& plan) {
    for (auto const& rate : DNxHDRates()) {
        if (rate.rateNumerator * plan.sampleSize == plan.timeScale * rate.rateDenominator) {
            return true;
        }
    }
    return false;
}

bool DNxHDHasSize(std::int32_t width, std::int32_t height, bool interlaced) {
    for (auto const& rate : DNxHDRates()) {
        if (rate.width == width && rate.height == height && rate.interlaced == interlaced) {
            return true;
        }
    }
    return false;
}

std::int32_t PlanSize(ExportSettings const& s, VideoEncoderEntry const& entry, VideoPlan& plan) {
    std::uint32_t const w = s.mVideoFrameWidth, h = s.mVideoFrameHeight;
    if (w < std::uint32_t(entry.minWidth) || w > std::uint32_t(entry.maxWidth) ||
        h < std::uint32_t(entry.minHeight) || h > std::uint32_t(entry.maxHeight) ||
        (entry.evenWidth && w % 2 != 0) || (entry.evenHeight && h % 2 != 0)) {
        return kErrFrameSize;
    }
    if (entry.family == VideoFamily::kDNxHD &&
        !DNxHDHasSize(std::int32_t(w), std::int32_t(h), false) &&
        !DNxHDHasSize(std::int32_t(w), std::int32_t(h), true)) {
        return kErrFrameSize;
    }
    plan.width = std::int32_t(w);
    plan.height = std::int32_t(h);
    return kExportOK;
}

std::int32_t PlanAspect(ExportSettings const& s, VideoEncoderEntry const& entry, VideoPlan& plan) {
    std::uint32_t num = s.mPixelAspectNum, den = s.mPixelAspectDen;
    if ((num == 0) != (den == 0)) {
        return kErrPixelAspect;
    }
    // DNxHD's thin raster (1440 wide for a 1920 picture) has 4:3 pixels, its full rasters square
    // ones; a ratio left open takes the raster's.
    AVRational const dnxhdPixels = plan.width == 1440 ? AVRational{4, 3} : AVRational{1, 1};
    if (num == 0) {
        plan.pixelAspect = entry.family == VideoFamily::kDNxHD ? dnxhdPixels : AVRational{1, 1};
        return kExportOK;
    }
    int n = 0, d = 0;
    av_reduce(&n, &d, num, den, INT32_MAX);
    plan.pixelAspect = AVRational{n, d};
    if (entry.family == VideoFamily::kDNxHD && av_cmp_q(plan.pixelAspect, dnxhdPixels) != 0) {
        return kErrPixelAspect;
    }
    return kExportOK;
}

std::int32_t PlanDepth(ExportSettings const& s, VideoEncoderEntry const& entry, VideoPlan& plan) {
    std::uint32_t const depth = s.mVideoBitDepth == 0 ? 24 : s.mVideoBitDepth;
    if (depth != 24 && !(depth == 32 && entry.alpha)) {
        return kErrBitDepth;
    }
    if (s.mUse8BitGrayscale && (!entry.grayscale || depth == 32)) {
        return kErrBitDepth;
    }
    plan.alpha = depth == 32;
    plan.invertAlpha = plan.alpha && s.mInvertAlpha;
    return kExportOK;
}

std::int32_t PlanH264(ExportSettings const& s, VideoPlan& plan) {
    CodecSettings const& cs = plan.codecSettings;
    plan.encoderFormat = AV_PIX_FMT_YUV420P;
    plan.x264Profile = cs.Choice("profile");
    plan.x264Preset = cs.Choice("preset");
    plan.keyFrameInterval = s.mDoKeyframes ? std::int32_t(s.mKeyframeEveryNFrames)
                                           : std::int32_t(cs.Number("keyFrameInterval"));
    // Baseline has no B-frames; otherwise they follow the export's reordering switch.
    plan.bFrames =
        s.mReorderFrames && plan.x264Profile != "baseline" ? std::int32_t(cs.Number("bFrames")) : 0;
    if (plan.x264Profile == "baseline" && plan.fieldType != kFieldTypeProgressive &&
        plan.fieldType != kFieldTypeUnknown) {
        return kErrFieldType;  // baseline codes no fields
    }
    plan.rateByBitrate = cs.Choice("rateControl") == "bitrate";
    plan.averageBitrate = cs.Number("bitrate") * 1000;
    if (plan.maxBitrate > 0 && plan.averageBitrate > plan.maxBitrate) {
        plan.averageBitrate = plan.maxBitrate;
    }
    return kExportOK;
}

std::int32_t DNxProfileFromLevel(ExportSettings const& s, VideoPlan& plan, std::string& choice) {
    static const char* const kDNxHDClasses[] = {"36", "145", "220", "220x"};
    static const char* const kDNxHRProfiles[] = {"lb", "sq", "hq", "hqx", "444"};
    bool const hd = plan.entry->family == VideoFamily::kDNxHD;
    std::uint32_t const count = hd ? 4 : 5;
    std::uint32_t const level = s.mAvidDNxHD_ProfileLevel;
    if (level == 0) {
        choice = plan.codecSettings.Choice(hd ? "class" : "profile");
        return kExportOK;
    }
    if (level > count) {
        return kErrCodecProfile;
    }
    choice = hd ? kDNxHDClasses[level - 1] : kDNxHRProfiles[level - 1];
    return kExportOK;
}

std::int32_t PlanDNxHD(ExportSettings const& s, VideoPlan& plan) {
    if (!IsDNxHDRate(plan)) {
        return kErrFrameRate;
    }
    bool const interlaced = plan.fieldType == kFieldTypeUpperFirst;
    if (plan.fieldType == kFieldTypeLowerFirst ||
        !DNxHDHasSize(plan.width, plan.height, interlaced)) {
        return kErrFieldType;  // DNxHD codes interlaced pictures top field first, at 1080 only
    }
    std::string codecClass;
    if (std::int32_t r = DNxProfileFromLevel(s, plan, codecClass); r != kExportOK) {
        return r;
    }
    auto megabitsOf = [&](std::string const& name) {
        return DNxHDMegabits(plan.width, plan.height, interlaced, name.c_str(), plan.timeScale,
                             plan.sampleSize);
    };
    std::int32_t megabits = megabitsOf(codecClass);
    if (megabits == 0 && s.mAvidDNxHD_ProfileLevel == 0 && !plan.codecSettings.Has("class")) {
        // No class chosen: the richest 8-bit class this raster and rate have.
        for (const char* fallback : {"220", "145", "36"}) {
            if (megabits == 0) {
                codecClass = fallback;
                megabits = megabitsOf(codecClass);
            }
        }
    }
    if (megabits == 0) {
        return kErrCodecProfile;
    }
    plan.dnxProfile = "dnxhd";
    plan.dnxBitrate = std::int64_t(megabits) * 1000000;
    plan.encoderFormat = codecClass == "220x" ? AV_PIX_FMT_YUV422P10 : AV_PIX_FMT_YUV422P;
    return kExportOK;
}

std::int32_t PlanDNxHR(ExportSettings const& s, VideoPlan& plan) {
    std::string profile;
    if (std::int32_t r = DNxProfileFromLevel(s, plan, profile); r != kExportOK) {
        return r;
    }
    plan.dnxProfile = "dnxhr_" + profile;
    plan.encoderFormat = profile == "hqx"   ? AV_PIX_FMT_YUV422P10
                         : profile == "444" ? AV_PIX_FMT_YUV444P10
                                            : AV_PIX_FMT_YUV422P;
    return kExportOK;
}

std::int32_t PlanFamily(ExportSettings const& s, VideoPlan& plan) {
    CodecSettings const& cs = plan.codecSettings;
    bool const gray = s.mUse8BitGrayscale;
    switch (plan.entry->family) {
        case VideoFamily::kH264:
            return PlanH264(s, plan);
        case VideoFamily::kProRes:
            plan.proresProfile = plan.entry->proresProfile;
            plan.proresQuantiser = std::int32_t(cs.Number("quantiser"));
            plan.encoderFormat = !plan.entry->alpha ? AV_PIX_FMT_YUV422P10
                                 : plan.alpha       ? AV_PIX_FMT_YUVA444P10
                                                    : AV_PIX_FMT_YUV444P10;
            return kExportOK;
        case VideoFamily::kDNxHD:
            return PlanDNxHD(s, plan);
        case VideoFamily::kDNxHR:
            return PlanDNxHR(s, plan);
        case VideoFamily::kJPEG: {
            std::string const chroma = cs.Choice("chroma");
            plan.encoderFormat = chroma == "4:2:0"   ? AV_PIX_FMT_YUVJ420P
                                 : chroma == "4:4:4" ? AV_PIX_FMT_YUVJ444P
                                                     : AV_PIX_FMT_YUVJ422P;
            // Quality 1024 is the finest quantiser (1), 0 the coarsest (31).
            plan.jpegQuantiser = 1 + (1024 - plan.quality) * 30 / 1024;
            return kExportOK;
        }
        case VideoFamily::kPNG: {
            bool const deep = s.mRenderAsDeepColor;
            plan.encoderFormat = gray         ? (deep ? AV_PIX_FMT_GRAY16BE : AV_PIX_FMT_GRAY8)
                                 : plan.alpha ? (deep ? AV_PIX_FMT_RGBA64BE : AV_PIX_FMT_RGBA)
                                              : (deep ? AV_PIX_FMT_RGB48BE : AV_PIX_FMT_RGB24);
            plan.pngCompression = std::int32_t(cs.Number("compression"));
            static const char* const kFilters[] = {"none",    "sub",   "up",
                                                   "average", "paeth", "mixed"};
            std::string const filter = cs.Choice("prediction");
            for (int i = 0; i < 6; ++i) {
                if (filter == kFilters[i]) {
                    plan.pngPrediction = i;
                }
            }
            return kExportOK;
        }
        case VideoFamily::kAnimation:
            plan.encoderFormat = gray         ? AV_PIX_FMT_GRAY8
                                 : plan.alpha ? AV_PIX_FMT_ARGB
                                              : AV_PIX_FMT_RGB24;
            plan.keyFrameInterval = s.mDoKeyframes ? std::int32_t(s.mKeyframeEveryNFrames)
                                                   : std::int32_t(cs.Number("keyFrameInterval"));
            return kExportOK;
        case VideoFamily::kUncompressed8:
            plan.encoderFormat = AV_PIX_FMT_UYVY422;
            return kExportOK;
        case VideoFamily::kV210:
            plan.encoderFormat = AV_PIX_FMT_YUV422P10;
            return kExportOK;
    }
    return kErrUnknownVideoCodec;
}

}  // namespace

std::int32_t PlanVideo(ExportSettings const& s, VideoPlan& plan) {
    std::uint32_t const fourcc = std::uint32_t(s.mVideoCodecFourCC);
    plan.entry = FindVideoEncoderEntry(fourcc);
    if (plan.entry == nullptr || FindVideoCodec(fourcc) == nullptr) {
        return kErrUnknownVideoCodec;
    }
    VideoEncoderEntry const& entry = *plan.entry;
    std::string why;
    if (ReadCodecSettings(s.mVideoCodecPrefsData.data(), s.mVideoCodecPrefsData.size(), fourcc,
                          plan.codecSettings, why) != kExportOK) {
        return kErrCodecSettingsUnreadable;
    }
    if (std::int32_t r = PlanSize(s, entry, plan); r != kExportOK) {
        return r;
    }
    if (std::int32_t r = PlanRate(s, plan); r != kExportOK) {
        return r;
    }
    if (entry.family == VideoFamily::kDNxHD && !IsDNxHDRate(plan)) {
        return kErrFrameRate;
    }
    plan.frameLimit = CountSteps(s.mExportEndTime - s.mExportStartTime, s.mTicksPerSecond,
                                 plan.sampleSize, plan.timeScale);
    if (plan.frameLimit < 1 || plan.frameLimit > std::int64_t(UINT32_MAX)) {
        return kErrTimeRange;
    }
    if (std::int32_t r = PlanAspect(s, entry, plan); r != kExportOK) {
        return r;
    }
    if (s.mFieldType > kFieldTypeUnknown) {
        return kErrFieldType;
    }
    plan.fieldType = std::int32_t(s.mFieldType);
    if (std::int32_t r = PlanDepth(s, entry, plan); r != kExportOK) {
        return r;
    }
    if (s.mVideoCodecQuality > 1024) {
        return kErrQuality;
    }
    plan.quality = std::int32_t(s.mVideoCodecQuality);
    if (s.mDoKeyframes &&
        (s.mKeyframeEveryNFrames == 0 || s.mKeyframeEveryNFrames > kMaxKeyFrameInterval)) {
        return kErrKeyFrameInterval;
    }
    if (s.mDoBitrate) {
        if (!entry.canSetDataRate || !std::isfinite(s.mMaxBitrate) || s.mMaxBitrate <= 0 ||
            s.mMaxBitrate > kMaxMegabitsPerSecond) {
            return kErrDataRate;
        }
        plan.maxBitrate = std::int64_t(s.mMaxBitrate * 1e6);
        if (plan.maxBitrate < 1000) {
            return kErrDataRate;
        }
    }
    if (s.mQTPixelFormat != 0 && !IsReadableFormat(s.mQTPixelFormat)) {
        return kErrInputPixelFormat;
    }
    if (std::int32_t r = PlanFamily(s, plan); r != kExportOK) {
        return r;
    }
    plan.rgb = !entry.yuv;
    if (plan.rgb) {
        plan.colorSpace = AVCOL_SPC_RGB;
        plan.colorRange = AVCOL_RANGE_JPEG;
    } else {
        // The decoding engine assumes the same matrices for pictures that do not name theirs;
        // DNxHD and DNxHR pictures are BT.709 at any size (their decoder says so).
        bool const dnx = entry.family == VideoFamily::kDNxHD || entry.family == VideoFamily::kDNxHR;
        plan.colorSpace = plan.height >= 720 || dnx ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
        plan.colorRange = entry.family == VideoFamily::kJPEG ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    }
    return kExportOK;
}

}  // namespace vireo::server::exporting::detail
