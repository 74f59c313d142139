#include "ReadAhead.h"

namespace vireo::server::movie {

namespace {

// Whether `held` more of something leaves room for `wanted` under `limit` (0: no limit).
bool Fits(std::uint64_t held, std::uint64_t wanted, std::uint64_t limit) {
    return limit == 0 || (wanted <= limit && held <= limit - wanted);
}

}  // namespace

bool AheadLedger::Take(std::int64_t sessionId, crossprocess::SessionUsage const& client,
                       std::uint64_t bytes, MovieLimits const& limits) {
    std::lock_guard<std::mutex> lock(mMutex);
    Holding& held = mHeld[sessionId];
    // Room for this frame and one more request of the same size besides.
    bool const room = held.frames < kAheadFramesPerSession &&
                      Fits(client.blocks + held.frames, 2, limits.maxHeldFramesPerSession) &&
                      bytes <= UINT64_MAX / 2 &&
                      Fits(client.bytes + held.bytes, 2 * bytes, limits.maxSharedBytesPerSession);
    if (!room) {
        if (held.frames == 0)
            mHeld.erase(sessionId);
        return false;
    }
    ++held.frames;
    held.bytes += bytes;
    return true;
}

void AheadLedger::Give(std::int64_t sessionId, std::uint64_t bytes) noexcept {
    std::lock_guard<std::mutex> lock(mMutex);
    auto found = mHeld.find(sessionId);
    if (found == mHeld.end())
        return;
    if (found->second.frames <= 1) {
        mHeld.erase(found);
        return;
    }
    --found->second.frames;
    found->second.bytes -= bytes;
}

AheadLedger::Holding AheadLedger::Held(std::int64_t sessionId) const {
    std::lock_guard<std::mutex> lock(mMutex);
    auto found = mHeld.find(sessionId);
    return found == mHeld.end() ? Holding() : found->second;
}

}  // namespace vireo::server::movie
