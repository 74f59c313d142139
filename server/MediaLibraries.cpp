#include "MediaLibraries.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/log.h>
}

#include "Log.h"

namespace vireo::server {

bool ProbeMediaLibraries() {
    if (!LogEnabled()) {
        av_log_set_level(AV_LOG_QUIET);
    }
    unsigned const formatVersion = avformat_version();
    unsigned const codecVersion = avcodec_version();
    if (formatVersion == 0 || codecVersion == 0 || avutil_version() == 0) {
        return false;
    }
    unsigned decoders = 0;
    void* iterator = nullptr;
    while (AVCodec const* codec = av_codec_iterate(&iterator)) {
        if (av_codec_is_decoder(codec)) {
            ++decoders;
        }
    }
    Log("libavformat %u.%u, libavcodec %u.%u, %u decoders", formatVersion >> 16,
        (formatVersion >> 8) & 0xFF, codecVersion >> 16, (codecVersion >> 8) & 0xFF, decoders);
    return decoders > 0;
}

}  // namespace vireo::server
