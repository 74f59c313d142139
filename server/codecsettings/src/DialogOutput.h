#pragma once
// Reading what a dialog program writes on its standard output (codecsettings/DialogProtocol.h),
// one message at a time, from bytes that arrive in any pieces.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vireo::server::codecsettings::detail {

struct OutputMessage {
    enum Kind { kNeedMore, kReady, kRaised, kCancelled, kAccepted, kGarbage };
    Kind kind = kNeedMore;
    std::vector<std::uint8_t> data;  // kAccepted: private data that `codec` reads
    std::string what;                // kGarbage: what was wrong
};

// Takes the next whole message off the front of `pending` (kNeedMore: none yet; the bytes stay).
// Accepted data must be private data of `codec` that ReadCodecSettings reads.
OutputMessage NextMessage(std::string& pending, std::uint32_t codec);

// `text` cut to `limit` bytes, as valid UTF-8 on one line, for reasons and diagnostics.
std::string Printable(std::string_view text, std::size_t limit);

}  // namespace vireo::server::codecsettings::detail
