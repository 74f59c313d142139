// The import codec list and the one table of codec names.
#include <map>

#include "EncoderTable.h"
#include "engine/FFmpegHandles.h"
#include "engine/FourCC.h"
#include "export/Catalogue.h"

namespace vireo::server::exporting {

namespace {

using engine::MakeFourCC;

// FFmpeg keeps a container tag with its first character in the low byte.
std::uint32_t TagToFourCC(unsigned tag) {
    return ((tag & 0xFFu) << 24) | ((tag & 0xFF00u) << 8) | ((tag >> 8) & 0xFF00u) | (tag >> 24);
}
unsigned FourCCToTag(std::uint32_t fourcc) {
    return TagToFourCC(fourcc);  // the swap is its own inverse
}

bool IsPrintable(std::uint32_t fourcc) {
    for (int shift = 0; shift < 32; shift += 8) {
        auto const c = (fourcc >> shift) & 0xFFu;
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

// QuickTime codes beyond FFmpeg's first code for each codec: the profiles and variants a movie
// names in its sample descriptions, and the audio format codes the decoding engine reports
// ('lpcm', 'aac ', ...). Each counts when FFmpeg decodes its codec.
struct KnownCode {
    std::uint32_t fourcc;
    AVCodecID codec;  // AV_CODEC_ID_NONE: whatever FFmpeg's QuickTime tables say
    const char* name;
};

std::vector<KnownCode> const& KnownCodes() {
    static std::vector<KnownCode> const codes = {
        {MakeFourCC("avc1"), AV_CODEC_ID_H264, "H.264"},
        {MakeFourCC("avc3"), AV_CODEC_ID_H264, "H.264"},
        {MakeFourCC("hvc1"), AV_CODEC_ID_HEVC, "HEVC"},
        {MakeFourCC("hev1"), AV_CODEC_ID_HEVC, "HEVC"},
        {MakeFourCC("mp4v"), AV_CODEC_ID_MPEG4, "MPEG-4 Video"},
        {MakeFourCC("apco"), AV_CODEC_ID_PRORES, "Apple ProRes 422 Proxy"},
        {MakeFourCC("apcs"), AV_CODEC_ID_PRORES, "Apple ProRes 422 LT"},
        {MakeFourCC("apcn"), AV_CODEC_ID_PRORES, "Apple ProRes 422"},
        {MakeFourCC("apch"), AV_CODEC_ID_PRORES, "Apple ProRes 422 HQ"},
        {MakeFourCC("ap4h"), AV_CODEC_ID_PRORES, "Apple ProRes 4444"},
        {MakeFourCC("ap4x"), AV_CODEC_ID_PRORES, "Apple ProRes 4444 XQ"},
        {MakeFourCC("AVdn"), AV_CODEC_ID_DNXHD, "Avid DNxHD"},
        {MakeFourCC("AVdh"), AV_CODEC_ID_DNXHD, "Avid DNxHR"},
        {MakeFourCC("jpeg"), AV_CODEC_ID_MJPEG, "Photo - JPEG"},
        {MakeFourCC("mjpa"), AV_CODEC_ID_MJPEG, "Motion JPEG A"},
        {MakeFourCC("mjpb"), AV_CODEC_ID_MJPEGB, "Motion JPEG B"},
        {MakeFourCC("png "), AV_CODEC_ID_PNG, "PNG"},
        {MakeFourCC("rle "), AV_CODEC_ID_QTRLE, "Animation"},
        {MakeFourCC("2vuy"), AV_CODEC_ID_RAWVIDEO, "Component Y'CbCr 8-bit 4:2:2"},
        {MakeFourCC("yuvs"), AV_CODEC_ID_RAWVIDEO, "Component Y'CbCr 8-bit 4:2:2 (yuvs)"},
        {MakeFourCC("raw "), AV_CODEC_ID_RAWVIDEO, "None"},
        {MakeFourCC("v210"), AV_CODEC_ID_V210, "Component Y'CbCr 10-bit 4:2:2"},
        {MakeFourCC("dvc "), AV_CODEC_ID_DVVIDEO, "DV - NTSC"},
        {MakeFourCC("dvcp"), AV_CODEC_ID_DVVIDEO, "DV - PAL"},
        {MakeFourCC("dvpp"), AV_CODEC_ID_DVVIDEO, "DVCPRO - PAL"},
        {MakeFourCC("dv5n"), AV_CODEC_ID_DVVIDEO, "DVCPRO50 - NTSC"},
        {MakeFourCC("dv5p"), AV_CODEC_ID_DVVIDEO, "DVCPRO50 - PAL"},
        {MakeFourCC("dvhq"), AV_CODEC_ID_DVVIDEO, "DVCPRO HD 720p"},
        {MakeFourCC("dvh6"), AV_CODEC_ID_DVVIDEO, "DVCPRO HD 1080i60"},
        {MakeFourCC("dvh5"), AV_CODEC_ID_DVVIDEO, "DVCPRO HD 1080i50"},
        {MakeFourCC("m1v "), AV_CODEC_ID_MPEG1VIDEO, "MPEG-1 Video"},
        {MakeFourCC("m2v1"), AV_CODEC_ID_MPEG2VIDEO, "MPEG-2 Video"},
        {MakeFourCC("xdv7"), AV_CODEC_ID_MPEG2VIDEO, "XDCAM HD 720p30"},
        {MakeFourCC("xd5c"), AV_CODEC_ID_MPEG2VIDEO, "XDCAM HD422 1080i60"},
        {MakeFourCC("cvid"), AV_CODEC_ID_CINEPAK, "Cinepak"},
        {MakeFourCC("SVQ1"), AV_CODEC_ID_SVQ1, "Sorenson Video"},
        {MakeFourCC("SVQ3"), AV_CODEC_ID_SVQ3, "Sorenson Video 3"},
        {MakeFourCC("rpza"), AV_CODEC_ID_RPZA, "Video"},
        {MakeFourCC("smc "), AV_CODEC_ID_SMC, "Graphics"},
        {MakeFourCC("h263"), AV_CODEC_ID_H263, "H.263"},
        {MakeFourCC("tiff"), AV_CODEC_ID_TIFF, "TIFF"},
        {MakeFourCC("gif "), AV_CODEC_ID_GIF, "GIF"},
        {MakeFourCC("tga "), AV_CODEC_ID_TARGA, "TGA"},
        {MakeFourCC("lpcm"), AV_CODEC_ID_PCM_S16LE, "Linear PCM"},
        {MakeFourCC("NONE"), AV_CODEC_ID_PCM_S16BE, "Linear PCM"},
        {MakeFourCC("twos"), AV_CODEC_ID_PCM_S16BE, "Linear PCM, 16-bit big-endian integer"},
        {MakeFourCC("sowt"), AV_CODEC_ID_PCM_S16LE, "Linear PCM, 16-bit little-endian integer"},
        {MakeFourCC("in24"), AV_CODEC_ID_PCM_S24BE, "Linear PCM, 24-bit integer"},
        {MakeFourCC("in32"), AV_CODEC_ID_PCM_S32BE, "Linear PCM, 32-bit integer"},
        {MakeFourCC("fl32"), AV_CODEC_ID_PCM_F32BE, "Linear PCM, 32-bit float"},
        {MakeFourCC("fl64"), AV_CODEC_ID_PCM_F64BE, "Linear PCM, 64-bit float"},
        {MakeFourCC("ulaw"), AV_CODEC_ID_PCM_MULAW, "\xC2\xB5Law 2:1"},
        {MakeFourCC("alaw"), AV_CODEC_ID_PCM_ALAW, "ALaw 2:1"},
        {MakeFourCC("aac "), AV_CODEC_ID_AAC, "AAC"},
        {MakeFourCC("mp4a"), AV_CODEC_ID_AAC, "AAC"},
        {MakeFourCC("alac"), AV_CODEC_ID_ALAC, "Apple Lossless"},
        {MakeFourCC(".mp3"), AV_CODEC_ID_MP3, "MPEG Layer 3"},
        {MakeFourCC(".mp2"), AV_CODEC_ID_MP2, "MPEG Layer 2"},
        {MakeFourCC("ac-3"), AV_CODEC_ID_AC3, "AC-3"},
        {MakeFourCC("ec-3"), AV_CODEC_ID_EAC3, "Enhanced AC-3"},
        {MakeFourCC("opus"), AV_CODEC_ID_OPUS, "Opus"},
        {MakeFourCC("flac"), AV_CODEC_ID_FLAC, "FLAC"},
        {MakeFourCC("samr"), AV_CODEC_ID_AMR_NB, "AMR Narrowband"},
        {MakeFourCC("ima4"), AV_CODEC_ID_ADPCM_IMA_QT, "IMA 4:1"},
        {MakeFourCC("QDM2"), AV_CODEC_ID_QDM2, "QDesign Music 2"},
        {MakeFourCC("QDMC"), AV_CODEC_ID_QDMC, "QDesign Music"},
        {MakeFourCC("MAC3"), AV_CODEC_ID_MACE3, "MACE 3:1"},
        {MakeFourCC("MAC6"), AV_CODEC_ID_MACE6, "MACE 6:1"},
    };
    return codes;
}

bool Decodable(AVCodecID codec) {
    AVCodecDescriptor const* descriptor = avcodec_descriptor_get(codec);
    return codec != AV_CODEC_ID_NONE && avcodec_find_decoder(codec) != nullptr &&
           descriptor != nullptr &&
           (descriptor->type == AVMEDIA_TYPE_VIDEO || descriptor->type == AVMEDIA_TYPE_AUDIO);
}

struct Tables {
    std::vector<std::uint32_t> importCodecs;
    std::map<std::uint32_t, std::string> names;
};

Tables MakeTables() {
    engine::detail::InitFFmpegLogging();
    Tables tables;
    AVOutputFormat const* mov = av_guess_format("mov", nullptr, nullptr);
    AVCodecTag const* const* movTags = mov != nullptr ? mov->codec_tag : nullptr;
    auto addImport = [&](std::uint32_t fourcc) {
        for (auto known : tables.importCodecs) {
            if (known == fourcc) {
                return;
            }
        }
        tables.importCodecs.push_back(fourcc);
    };
    auto addName = [&](std::uint32_t fourcc, std::string const& name) {
        if (!name.empty()) {
            tables.names.emplace(fourcc, name);  // the first source to name a code wins
        }
    };

    // Names: what we write first, then the QuickTime names of known codes.
    for (auto const& entry : detail::VideoEncoderEntries()) {
        addName(entry.fourcc, entry.name);
    }
    for (auto const& entry : detail::AudioEncoderEntries()) {
        addName(entry.codecID, entry.name);
    }
    for (auto const& known : KnownCodes()) {
        AVCodecID codec = known.codec;
        if (codec == AV_CODEC_ID_NONE && movTags != nullptr) {
            codec = av_codec_get_id(movTags, FourCCToTag(known.fourcc));
        }
        addName(known.fourcc, known.name);
        if (Decodable(codec)) {
            addImport(known.fourcc);
        }
    }
    // Every other codec FFmpeg decodes that its QuickTime tables give a code, named by FFmpeg.
    void* iterator = nullptr;
    while (AVCodec const* codec = av_codec_iterate(&iterator)) {
        unsigned tag = 0;
        if (!av_codec_is_decoder(codec) || !Decodable(codec->id) || movTags == nullptr ||
            av_codec_get_tag2(movTags, codec->id, &tag) == 0) {
            continue;
        }
        std::uint32_t const fourcc = TagToFourCC(tag);
        if (!IsPrintable(fourcc)) {
            continue;
        }
        addImport(fourcc);
        AVCodecDescriptor const* descriptor = avcodec_descriptor_get(codec->id);
        if (descriptor != nullptr && descriptor->long_name != nullptr) {
            addName(fourcc, descriptor->long_name);
        }
    }
    return tables;
}

Tables const& GetTables() {
    static Tables const tables = MakeTables();
    return tables;
}

}  // namespace

std::vector<std::uint32_t> const& ImportCodecs() {
    return GetTables().importCodecs;
}

std::string CodecName(std::uint32_t fourcc) {
    auto const& names = GetTables().names;
    auto found = names.find(fourcc);
    return found != names.end() ? found->second : std::string();
}

}  // namespace vireo::server::exporting
