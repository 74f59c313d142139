#pragma once
// Counters of the shared-data layer of this process, for tests, benchmarks and diagnostics.
#include <cstdint>

namespace crossprocess {

struct Stats {
    // Segments this process created since it started, and how many of them it retired again
    // (unmapped and unlinked). After warm-up, publishing sizes seen before creates none.
    std::uint64_t segmentsCreated = 0;
    std::uint64_t segmentsRetired = 0;
    // Peers' segments this process mapped, and unmapped again.
    std::uint64_t segmentsMapped = 0;
    std::uint64_t segmentsUnmapped = 0;
    // Segments of dead processes that this process unlinked.
    std::uint64_t leftoversReclaimed = 0;

    // The pool of this process's own blocks.
    std::uint64_t blocksIdle = 0;
    std::uint64_t bytesIdle = 0;
    std::uint64_t blocksLeased = 0;  // held by writable references or by peers

    std::uint64_t publications = 0;       // successful PublishToSession calls
    std::uint64_t releasesReceived = 0;   // peers' releases of our publications
    std::uint64_t unclaimedReleased = 0;  // peers' publications nobody waited for, released
    std::uint64_t corruptRejected = 0;    // peers' blocks or messages that failed their checks

    std::uint64_t pendingNotifications = 0;  // registered, not yet delivered or withdrawn
    std::uint64_t peerHolds = 0;             // our publications and shares a peer still holds
    std::uint64_t cachedMappings = 0;        // peers' segments kept mapped for reuse
    std::uint64_t sharedIds = 0;             // ids currently shared by this process
};

Stats GetStats();

// Retires every idle block of the pool now (normally they are retired when the pool is over
// its limits, after some idle time, and when the last client uninitializes).
void TrimIdleBlocks();

}  // namespace crossprocess
