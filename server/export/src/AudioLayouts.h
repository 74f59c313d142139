#pragma once
// Channel layouts of exported audio: Core Audio's layout tags (the export's mChannelLayout) and
// FFmpeg's layouts for them.
#include <cstdint>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace vireo::server::exporting::detail {

// Core Audio layout tags: the tag number in the high 16 bits, the channel count in the low 16.
constexpr std::uint32_t kLayoutTagMono = (100u << 16) | 1;
constexpr std::uint32_t kLayoutTagStereo = (101u << 16) | 2;
constexpr std::uint32_t kLayoutTagMPEG_3_0_A = (113u << 16) | 3;  // L R C
constexpr std::uint32_t kLayoutTagMPEG_4_0_A = (115u << 16) | 4;  // L R C Cs
constexpr std::uint32_t kLayoutTagMPEG_5_0_A = (117u << 16) | 5;  // L R C Ls Rs
constexpr std::uint32_t kLayoutTagMPEG_5_1_A = (121u << 16) | 6;  // L R C LFE Ls Rs
constexpr std::uint32_t kLayoutTagMPEG_6_1_A = (125u << 16) | 7;  // L R C LFE Ls Rs Cs
constexpr std::uint32_t kLayoutTagMPEG_7_1_A = (126u << 16) | 8;  // L R C LFE Ls Rs Lc Rc
constexpr std::uint32_t kLayoutTagDiscreteInOrder = 147u << 16;   // | channel count

// The usual layout of `channels` (1 to 8) channels, in the order of the MPEG_x_A tags above;
// false for other counts.
bool UsualLayout(int channels, AVChannelLayout& out);

// The layout a tag describes for `channels` channels: 0 gives the usual layout; a tag for
// another count, or one not listed above, gives false.
bool LayoutForTag(std::uint32_t tag, int channels, AVChannelLayout& out);

}  // namespace vireo::server::exporting::detail
