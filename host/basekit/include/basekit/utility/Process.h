#pragma once
// Facts about other processes of this machine, read from /proc.
#include <cstdint>

namespace basekit {
namespace utility {

// True while process `pid` exists and is not a zombie. A process of another user counts as
// alive. Non-positive and out-of-range pids are not alive.
bool IsProcessAlive(std::int64_t pid) noexcept;

// The start time of process `pid` in clock ticks since boot (field 22 of /proc/<pid>/stat), or 0
// when it cannot be read. With the pid it names one process across pid reuse.
std::uint64_t ProcessStartTime(std::int64_t pid) noexcept;

// The real user id of process `pid`, or -1 when it cannot be read.
std::int64_t ProcessUserID(std::int64_t pid) noexcept;

}  // namespace utility
}  // namespace basekit
