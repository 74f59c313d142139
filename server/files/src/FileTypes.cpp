#include "files/FileTypes.h"

#include <algorithm>
#include <cstring>
#include <map>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace vireo::server::files {

namespace {

// Demuxers whose files the engine does not import as movies.
constexpr char const* kRefusedDemuxers[] = {
    // Text shown as pictures: the engine treats these files as not media.
    "tty", "bin", "xbin", "adf", "idf",
    // Subtitles, captions, lyrics and metadata: no video or audio.
    "aqtitle", "ass", "dvbsub", "dvbtxt", "ffmetadata", "jacosub", "lrc", "mcc", "microdvd", "mpl2",
    "mpsub", "pjs", "realtext", "sami", "scc", "srt", "stl", "subviewer", "subviewer1", "sup",
    "tedcaptions", "vobsub", "vplayer", "webvtt",
    // Playlists, manifests and session descriptions: the media are elsewhere, often on a network.
    "concat", "dash", "hls", "imf", "sdp", "webm_dash_manifest",
    // Raw pictures without a header: the file does not say their size, so they cannot be read.
    "bitpacked", "rawvideo", "v210", "v210x"};

// Formats whose demuxer lists no extensions (FFmpeg recognises them by content) take those of the
// muxer of the same name; these demuxers take those of muxers named otherwise.
struct MuxerNames {
    char const* demuxer;
    char const* muxers;
};
constexpr MuxerNames kOtherMuxerNames[] = {{"mov,mp4,m4a,3gp,3g2,mj2", "ipod"},
                                           {"mpegvideo", "mpeg1video,mpeg2video"},
                                           {"ogg", "oga,ogv,opus,spx"},
                                           {"mpeg", "vob"},
                                           {"loas", "latm"},
                                           {"aac", "adts"},
                                           {"webp_pipe", "webp"}};

// Demuxers whose descriptions win when another format claims the same extension: the containers
// that files with these extensions usually are (".m4v" is an MPEG-4 movie far more often than a
// raw MPEG-4 video stream).
constexpr char const* kPreferredDemuxers[] = {"mov,mp4,m4a,3gp,3g2,mj2", "image2"};

std::vector<std::string> SplitList(char const* list) {
    std::vector<std::string> items;
    if (list == nullptr) {
        return items;
    }
    std::string item;
    for (char const* c = list;; ++c) {
        if (*c == ',' || *c == '\0') {
            if (!item.empty()) {
                items.push_back(item);
            }
            item.clear();
            if (*c == '\0') {
                break;
            }
        } else {
            item.push_back(*c >= 'A' && *c <= 'Z' ? char(*c - 'A' + 'a') : *c);
        }
    }
    return items;
}

bool Contains(std::string const& text, char const* part) {
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; });
    return lower.find(part) != std::string::npos;
}

bool Refused(AVInputFormat const* format) {
    for (char const* name : kRefusedDemuxers) {
        if (std::strcmp(format->name, name) == 0) {
            return true;
        }
    }
    // Devices and network protocols: the demuxer opens its input itself, not from a file. The
    // engine's probe never picks them, with one exception: image2 reads single pictures by name.
    if ((format->flags & AVFMT_NOFILE) != 0 && std::strcmp(format->name, "image2") != 0) {
        return true;
    }
    std::string const description = format->long_name != nullptr ? format->long_name : "";
    return Contains(description, "subtitle") || Contains(description, "caption");
}

bool IsPictureReader(AVInputFormat const* format) {
    std::string const name = format->name;
    return name.size() > 5 && name.compare(name.size() - 5, 5, "_pipe") == 0;
}

std::string Description(AVInputFormat const* format) {
    return format->long_name != nullptr && *format->long_name != '\0' ? format->long_name
                                                                      : format->name;
}

class Collector {
  public:
    void Add(std::string const& extension, std::string const& description) {
        if (!extension.empty() && !description.empty()) {
            mTypes.emplace(extension, description);  // the first description of an extension stays
        }
    }

    void AddDemuxer(AVInputFormat const* format) {
        if (Refused(format)) {
            return;
        }
        if (std::strcmp(format->name, "image2") == 0) {
            AddPictures();
            return;
        }
        std::string description = Description(format);
        for (std::string const& extension : SplitList(format->extensions)) {
            Add(extension, description);
        }
        std::vector<std::string> muxers = SplitList(format->name);
        for (MuxerNames const& other : kOtherMuxerNames) {
            if (std::strcmp(format->name, other.demuxer) == 0) {
                for (std::string const& name : SplitList(other.muxers)) {
                    muxers.push_back(name);
                }
            }
        }
        for (std::string const& name : muxers) {
            AVOutputFormat const* muxer = av_guess_format(name.c_str(), nullptr, nullptr);
            if (muxer != nullptr && name == muxer->name) {
                // A picture reader ("piped webp sequence") reads single pictures here.
                if (IsPictureReader(format) && muxer->long_name != nullptr) {
                    description = std::string(muxer->long_name) + " image";
                }
                for (std::string const& extension : SplitList(muxer->extensions)) {
                    Add(extension, description);
                }
            }
        }
    }

    std::vector<ImportableFileType> Types() const {
        std::vector<ImportableFileType> types;
        types.reserve(mTypes.size());
        for (auto const& [extension, description] : mTypes) {
            types.push_back({extension, description});
        }
        return types;
    }

  private:
    // Single pictures: the extensions FFmpeg's picture reader knows by name, each described by
    // its decoder, where this FFmpeg has the decoder.
    void AddPictures() {
        AVOutputFormat const* writer = av_guess_format("image2", nullptr, nullptr);
        if (writer == nullptr) {
            return;
        }
        for (std::string const& extension : SplitList(writer->extensions)) {
            std::string const name = "picture." + extension;
            AVCodecID const codec =
                av_guess_codec(writer, nullptr, name.c_str(), nullptr, AVMEDIA_TYPE_VIDEO);
            AVCodecDescriptor const* descriptor = avcodec_descriptor_get(codec);
            // Raw pictures carry no size: not readable from the file alone.
            if (codec == AV_CODEC_ID_NONE || codec == AV_CODEC_ID_RAWVIDEO ||
                avcodec_find_decoder(codec) == nullptr || descriptor == nullptr) {
                continue;
            }
            std::string description = codec == AV_CODEC_ID_MJPEG         ? std::string("JPEG")
                                      : descriptor->long_name != nullptr ? descriptor->long_name
                                                                         : descriptor->name;
            if (!Contains(description, "image")) {
                description += " image";
            }
            Add(extension, description);
        }
    }

    std::map<std::string, std::string> mTypes;
};

std::vector<ImportableFileType> Collect() {
    Collector collector;
    for (char const* name : kPreferredDemuxers) {
        void* iterator = nullptr;
        while (AVInputFormat const* format = av_demuxer_iterate(&iterator)) {
            if (std::strcmp(format->name, name) == 0) {
                collector.AddDemuxer(format);
            }
        }
    }
    void* iterator = nullptr;
    while (AVInputFormat const* format = av_demuxer_iterate(&iterator)) {
        collector.AddDemuxer(format);
    }
    return collector.Types();
}

}  // namespace

std::vector<ImportableFileType> const& ImportableFileTypes() {
    static std::vector<ImportableFileType> const types = Collect();
    return types;
}

}  // namespace vireo::server::files
