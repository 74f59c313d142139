#pragma once
// Process-wide counters behind crossprocess::GetStats.
#include <atomic>
#include <cstdint>

namespace crossprocess {
namespace detail {

struct Counters {
    std::atomic<std::uint64_t> segmentsCreated{0};
    std::atomic<std::uint64_t> segmentsRetired{0};
    std::atomic<std::uint64_t> segmentsMapped{0};
    std::atomic<std::uint64_t> segmentsUnmapped{0};
    std::atomic<std::uint64_t> leftoversReclaimed{0};
    std::atomic<std::uint64_t> publications{0};
    std::atomic<std::uint64_t> releasesReceived{0};
    std::atomic<std::uint64_t> unclaimedReleased{0};
    std::atomic<std::uint64_t> corruptRejected{0};
};

Counters& GetCounters();

}  // namespace detail
}  // namespace crossprocess
