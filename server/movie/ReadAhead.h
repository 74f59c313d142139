#pragma once
// Frames rendered ahead. While the host is busy with the frame it was just given, the movie's
// strand converts the next one (same format and size, one frame period later) into a shared
// block and keeps it unpublished; when the host asks for exactly that frame it is published at
// once, without decoding or converting on the request's path. Any other request (a seek,
// another format or size) drops it and renders as before, and closing, quieting or the end of
// the session drops it too.
//
// Bounded: at most one frame ahead per movie and kAheadFramesPerSession per session, and one is
// only rendered while the session's client, with every ahead frame of the session and this one
// counted, still leaves room for one more frame under its limits. An ahead frame thus never
// makes a request of the client fail a limit it would otherwise pass.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "MovieLimits.h"
#include "crossprocess/CrossProcess.h"

namespace vireo::server::movie {

constexpr std::size_t kAheadFramesPerSession = 2;

// What frame is asked for.
struct FrameRequest {
    std::int64_t time = 0;  // in the movie's video time scale
    std::uint32_t fourcc = 0;
    std::int32_t width = 0;  // output size, checked by CheckFrameRequest (never 0 here)
    std::int32_t height = 0;

    bool operator==(FrameRequest const& other) const noexcept {
        return time == other.time && fourcc == other.fourcc && width == other.width &&
               height == other.height;
    }
};

// The ahead frames of every session. Thread-safe.
class AheadLedger {
  public:
    struct Holding {
        std::size_t frames = 0;
        std::uint64_t bytes = 0;
    };

    // Takes a place for one ahead frame of `bytes` for the session when the rules above allow;
    // `client` is what the session's client holds now.
    bool Take(std::int64_t sessionId, crossprocess::SessionUsage const& client, std::uint64_t bytes,
              MovieLimits const& limits);
    void Give(std::int64_t sessionId, std::uint64_t bytes) noexcept;
    Holding Held(std::int64_t sessionId) const;

  private:
    mutable std::mutex mMutex;
    std::map<std::int64_t, Holding> mHeld;  // sessions with at least one ahead frame
};

// One frame rendered ahead: its block and its place in the ledger, given back when it dies.
class AheadFrame {
  public:
    AheadFrame(std::shared_ptr<AheadLedger> ledger, std::int64_t sessionId, std::uint64_t bytes,
               FrameRequest const& request)
        : mLedger(std::move(ledger)), mSessionId(sessionId), mBytes(bytes), mRequest(request) {}
    ~AheadFrame() { mLedger->Give(mSessionId, mBytes); }
    AheadFrame(AheadFrame const&) = delete;
    AheadFrame& operator=(AheadFrame const&) = delete;

    FrameRequest const& Request() const noexcept { return mRequest; }
    crossprocess::WritableBinaryReferencePtr block;  // the rendered frame, header and pixels

  private:
    std::shared_ptr<AheadLedger> const mLedger;
    std::int64_t const mSessionId;
    std::uint64_t const mBytes;
    FrameRequest const mRequest;
};

}  // namespace vireo::server::movie
