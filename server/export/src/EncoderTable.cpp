#include "EncoderTable.h"

#include <cstring>

#include "engine/FourCC.h"
#include "engine/PixelFormats.h"

namespace vireo::server::exporting::detail {

namespace {

using engine::MakeFourCC;

constexpr std::uint32_t kV210 = MakeFourCC("v210");
constexpr std::int32_t kMax = 8192;

// The limits were measured by opening each encoder: libx264 and the 4:2:2 packings need even
// sizes, DNxHR needs at least 256x120, everything stops at 8192 (FFmpeg's image size check
// refuses 16384x16384).
std::vector<VideoEncoderEntry> MakeVideoEntries() {
    using F = VideoFamily;
    auto const bgra = engine::kFormatBGRA;
    auto const uyvy = engine::kFormat2vuy;
    auto const b64a = engine::kFormatB64a;
    constexpr bool Y = true;
    constexpr bool N = false;
    // clang-format off
    // Each entry takes two lines:
    //   fourcc, name, family, FFmpeg encoder, ProRes profile,
    //   alpha, grey, lossless, even width, even height, minimum and maximum size,
    //   preferred input, Y'CbCr, delta, quality, data rate, reorders, setup,
    //   default quality, default key frame rate
    // The ProRes profiles differ only in alpha: the 4444 ones take b64a frames, the 422 ones v210.
    auto prores = [&](const char* code, const char* name, const char* profile, bool alpha) {
        return VideoEncoderEntry{MakeFourCC(code[0], code[1], code[2], code[3]), name, F::kProRes,
            "prores_ks", profile, alpha, N, N, N, N, 1, 1, kMax, kMax, alpha ? b64a : kV210,
            Y, N, N, N, N, Y, 768, 0};
    };
    return {
        {MakeFourCC("avc1"), "H.264", F::kH264, "libx264", nullptr,
         N, N, N, Y, Y, 2, 2, kMax, kMax, uyvy, Y, Y, Y, Y, Y, Y, 512, 24},
        prores("apco", "Apple ProRes 422 Proxy", "proxy", N),
        prores("apcs", "Apple ProRes 422 LT", "lt", N),
        prores("apcn", "Apple ProRes 422", "standard", N),
        prores("apch", "Apple ProRes 422 HQ", "hq", N),
        prores("ap4h", "Apple ProRes 4444", "4444", Y),
        prores("ap4x", "Apple ProRes 4444 XQ", "4444xq", Y),
        {MakeFourCC("AVdn"), "Avid DNxHD", F::kDNxHD, "dnxhd", nullptr,
         N, N, N, Y, N, 1280, 720, 1920, 1080, uyvy, Y, N, N, N, N, Y, 768, 0},
        {MakeFourCC("AVdh"), "Avid DNxHR", F::kDNxHR, "dnxhd", nullptr,
         N, N, N, Y, N, 256, 120, kMax, 4320, uyvy, Y, N, N, N, N, Y, 768, 0},
        {MakeFourCC("jpeg"), "Photo - JPEG", F::kJPEG, "mjpeg", nullptr,
         N, N, N, N, N, 1, 1, kMax, kMax, uyvy, Y, N, Y, N, N, Y, 512, 0},
        {MakeFourCC("png "), "PNG", F::kPNG, "png", nullptr,
         Y, Y, Y, N, N, 1, 1, kMax, kMax, bgra, N, N, N, N, N, Y, 1024, 0},
        {MakeFourCC("rle "), "Animation", F::kAnimation, "qtrle", nullptr,
         Y, Y, Y, N, N, 1, 1, kMax, kMax, bgra, N, Y, N, N, N, Y, 1024, 24},
        {MakeFourCC("2vuy"), "Uncompressed 8-bit 4:2:2", F::kUncompressed8, "rawvideo", nullptr,
         N, N, Y, Y, N, 2, 1, kMax, kMax, uyvy, Y, N, N, N, N, N, 1024, 0},
        {kV210, "Uncompressed 10-bit 4:2:2", F::kV210, "v210", nullptr,
         N, N, Y, Y, N, 2, 1, kMax, kMax, kV210, Y, N, N, N, N, N, 1024, 0},
    };
    // clang-format on
}

// Little-endian linear PCM has no FourCC of its own in QuickTime (the sample description says
// it in a flag); its catalogue codes are the big-endian codes written backwards, as 'sowt' is
// 'twos' backwards.
std::vector<AudioEncoderEntry> MakeAudioEntries() {
    // Apple Lossless and linear PCM: up to 8 channels at any rate from 1000 to 384000 Hz (their
    // encoders list no rates).
    auto anyRate = [](const char* code, const char* name, const char* encoder) {
        return AudioEncoderEntry{
            MakeFourCC(code[0], code[1], code[2], code[3]), name, encoder, false, 8, 1000, 384000};
    };
    return {
        {MakeFourCC("aac "), "AAC", "aac", false, 8, 0, 0},
        anyRate("alac", "Apple Lossless", "alac"),
        anyRate("twos", "Linear PCM, 16-bit big-endian integer", "pcm_s16be"),
        anyRate("sowt", "Linear PCM, 16-bit little-endian integer", "pcm_s16le"),
        anyRate("in24", "Linear PCM, 24-bit big-endian integer", "pcm_s24be"),
        anyRate("42ni", "Linear PCM, 24-bit little-endian integer", "pcm_s24le"),
        anyRate("in32", "Linear PCM, 32-bit big-endian integer", "pcm_s32be"),
        anyRate("23ni", "Linear PCM, 32-bit little-endian integer", "pcm_s32le"),
        anyRate("fl32", "Linear PCM, 32-bit big-endian float", "pcm_f32be"),
        anyRate("23lf", "Linear PCM, 32-bit little-endian float", "pcm_f32le"),
    };
}

// DNxHD's classes are named by their rate at 29.97 fps; the other rates of a class are Avid's.
// Only combinations FFmpeg's encoder has a CID for are listed (it has no 10-bit 1080p or 720p
// at 29.97).
std::vector<DNxHDRate> MakeDNxHDRates() {
    struct Rate {
        std::int64_t num, den;
    };
    static Rate const kRates[] = {{24000, 1001}, {24, 1}, {25, 1},
                                  {30000, 1001}, {50, 1}, {60000, 1001}};
    std::vector<DNxHDRate> out;
    auto progressive = [&](std::int32_t w, std::int32_t h, const char* cls, bool tenBit,
                           std::int32_t const(&mbits)[6]) {
        for (int i = 0; i < 6; ++i) {
            if (mbits[i] != 0) {
                out.push_back({w, h, false, cls, tenBit, kRates[i].num, kRates[i].den, mbits[i]});
            }
        }
    };
    auto interlaced = [&](std::int32_t w, std::int32_t h, const char* cls, bool tenBit,
                          std::int32_t at25, std::int32_t at2997) {
        out.push_back({w, h, true, cls, tenBit, 25, 1, at25});
        out.push_back({w, h, true, cls, tenBit, 30000, 1001, at2997});
    };
    progressive(1920, 1080, "36", false, {36, 36, 36, 45, 75, 90});
    progressive(1920, 1080, "145", false, {115, 115, 120, 145, 240, 290});
    progressive(1920, 1080, "220", false, {175, 175, 185, 220, 365, 440});
    progressive(1920, 1080, "220x", true, {175, 175, 185, 0, 365, 440});
    interlaced(1920, 1080, "145", false, 120, 145);
    interlaced(1920, 1080, "220", false, 185, 220);
    interlaced(1920, 1080, "220x", true, 185, 220);
    progressive(1280, 720, "145", false, {60, 60, 60, 75, 120, 145});
    progressive(1280, 720, "220", false, {90, 90, 90, 110, 180, 220});
    progressive(1280, 720, "220x", true, {90, 90, 90, 0, 180, 220});
    interlaced(1440, 1080, "145", false, 120, 145);
    return out;
}

}  // namespace

std::vector<VideoEncoderEntry> const& VideoEncoderEntries() {
    static std::vector<VideoEncoderEntry> const entries = MakeVideoEntries();
    return entries;
}

std::vector<AudioEncoderEntry> const& AudioEncoderEntries() {
    static std::vector<AudioEncoderEntry> const entries = MakeAudioEntries();
    return entries;
}

VideoEncoderEntry const* FindVideoEncoderEntry(std::uint32_t fourcc) {
    for (auto const& entry : VideoEncoderEntries()) {
        if (entry.fourcc == fourcc) {
            return &entry;
        }
    }
    return nullptr;
}

AudioEncoderEntry const* FindAudioEncoderEntry(std::uint32_t codecID) {
    for (auto const& entry : AudioEncoderEntries()) {
        if (entry.codecID == codecID) {
            return &entry;
        }
    }
    return nullptr;
}

std::vector<DNxHDRate> const& DNxHDRates() {
    static std::vector<DNxHDRate> const rates = MakeDNxHDRates();
    return rates;
}

std::int32_t DNxHDMegabits(std::int32_t width, std::int32_t height, bool interlaced,
                           const char* codecClass, std::int64_t rateNumerator,
                           std::int64_t rateDenominator) {
    for (auto const& rate : DNxHDRates()) {
        if (rate.width == width && rate.height == height && rate.interlaced == interlaced &&
            std::strcmp(rate.codecClass, codecClass) == 0 &&
            rate.rateNumerator * rateDenominator == rateNumerator * rate.rateDenominator) {
            return rate.megabits;
        }
    }
    return 0;
}

}  // namespace vireo::server::exporting::detail
