#include "AudioLayouts.h"

namespace vireo::server::exporting::detail {

bool UsualLayout(int channels, AVChannelLayout& out) {
    // FFmpeg keeps channels in the order of their bits, which for these layouts is the order of
    // Core Audio's MPEG_x_A layouts (surround channels at the back).
    switch (channels) {
        case 1:
            out = AV_CHANNEL_LAYOUT_MONO;
            return true;
        case 2:
            out = AV_CHANNEL_LAYOUT_STEREO;
            return true;
        case 3:
            out = AV_CHANNEL_LAYOUT_SURROUND;
            return true;
        case 4:
            out = AV_CHANNEL_LAYOUT_4POINT0;
            return true;
        case 5:
            out = AV_CHANNEL_LAYOUT_5POINT0_BACK;
            return true;
        case 6:
            out = AV_CHANNEL_LAYOUT_5POINT1_BACK;
            return true;
        case 7:
            out = AV_CHANNEL_LAYOUT_6POINT1_BACK;
            return true;
        case 8:
            out = AV_CHANNEL_LAYOUT_7POINT1_WIDE_BACK;
            return true;
        default:
            return false;
    }
}

bool LayoutForTag(std::uint32_t tag, int channels, AVChannelLayout& out) {
    if (tag == 0) {
        return UsualLayout(channels, out);
    }
    if (int(tag & 0xFFFF) != channels) {
        return false;
    }
    if ((tag & 0xFFFF0000u) == kLayoutTagDiscreteInOrder) {
        if (channels < 1 || channels > 64) {
            return false;
        }
        av_channel_layout_uninit(&out);
        out.order = AV_CHANNEL_ORDER_UNSPEC;
        out.nb_channels = channels;
        return true;
    }
    switch (tag) {
        case kLayoutTagMono:
        case kLayoutTagStereo:
        case kLayoutTagMPEG_3_0_A:
        case kLayoutTagMPEG_4_0_A:
        case kLayoutTagMPEG_5_0_A:
        case kLayoutTagMPEG_5_1_A:
        case kLayoutTagMPEG_6_1_A:
        case kLayoutTagMPEG_7_1_A:
            return UsualLayout(channels, out);
        default:
            return false;
    }
}

}  // namespace vireo::server::exporting::detail
