#pragma once
// One movie opened by a client session, and the table of them.
//
// Every use of a movie's engine runs as a task on the movie's own strand of the server's worker
// pool, so a movie is never used by two threads at once while different movies decode in
// parallel. Requests are answered from those tasks.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "ReadAhead.h"
#include "WorkerPool.h"
#include "basekit/utility/Guid.h"
#include "engine/Movie.h"

namespace vireo::server::movie {

class OpenMovie {
  public:
    OpenMovie(basekit::utility::Guid id, std::int64_t sessionId,
              std::unique_ptr<vireo::engine::Movie> engine, Strand strand, bool workAhead);

    basekit::utility::Guid const& Id() const noexcept { return mId; }
    std::int64_t SessionId() const noexcept { return mSessionId; }
    // Properties as read at opening; never changes, readable from any thread.
    vireo::engine::MovieInfo const& Info() const noexcept { return mInfo; }
    // Runs `task` on the movie's strand, after everything posted before it.
    void Post(std::function<void()> task) const { server::Post(mStrand, std::move(task)); }

    // The engine. Only tasks running on the movie's strand may use it; null once the movie is
    // closed.
    vireo::engine::Movie* Engine() noexcept { return mEngine.get(); }
    // Runs on the strand: frees the engine and the ahead frame (the last task of a closed
    // movie).
    void DestroyEngine() noexcept {
        mAhead.reset();
        mEngine.reset();
    }

    // The frame rendered ahead (ReadAhead.h). Strand only.
    bool HasAhead() const noexcept { return mAhead != nullptr; }
    std::unique_ptr<AheadFrame> TakeAhead() noexcept { return std::move(mAhead); }
    void KeepAhead(std::unique_ptr<AheadFrame> ahead) noexcept { mAhead = std::move(ahead); }

    // Any thread.
    void MarkClosed() noexcept { mClosed.store(true); }
    bool IsClosed() const noexcept { return mClosed.load(); }
    void SetQuiet(bool quiet) noexcept { mQuiet.store(quiet); }
    // True when idle time may go into decoding the next frames.
    bool ShouldWorkAhead() const noexcept {
        return mWorkAhead && !mQuiet.load() && mWaitingFrames.load() == 0;
    }

    // Frame requests waiting on the strand, by request identifier, so that a cancel can reach
    // them before they run. Any thread.
    void FrameRequestQueued(basekit::utility::Guid const& request);
    // Takes the request off the waiting list; true when it was cancelled meanwhile.
    bool FrameRequestStarts(basekit::utility::Guid const& request);
    // Marks a waiting request as cancelled; a request that is not waiting is ignored.
    void CancelFrameRequest(basekit::utility::Guid const& request);

  private:
    basekit::utility::Guid const mId;
    std::int64_t const mSessionId;
    vireo::engine::MovieInfo const mInfo;
    std::unique_ptr<vireo::engine::Movie> mEngine;
    std::unique_ptr<AheadFrame> mAhead;  // strand only
    Strand const mStrand;
    bool const mWorkAhead;
    std::atomic<bool> mClosed{false};
    std::atomic<bool> mQuiet{false};
    std::atomic<int> mWaitingFrames{0};
    std::mutex mMutex;                                // guards the map below
    std::map<basekit::utility::Guid, bool> mWaiting;  // request -> cancelled
};

using OpenMoviePtr = std::shared_ptr<OpenMovie>;

// The open movies of every session, by movie identifier, and the places each session holds for
// movies (open, or being opened) under its limit. Thread-safe.
class MovieRegistry {
  public:
    // Takes one of the session's places for a movie about to be opened; false when the session
    // already holds `limit` places.
    bool Reserve(std::int64_t sessionId, std::size_t limit);
    // Gives back a place taken by Reserve (the open failed).
    void Unreserve(std::int64_t sessionId);
    // Adds an opened movie in the place reserved for it.
    void Add(OpenMoviePtr const& movie);
    // The movie, when it is open and belongs to `sessionId`; otherwise null (a movie is only
    // visible to the session that opened it).
    OpenMoviePtr Find(basekit::utility::Guid const& id, std::int64_t sessionId) const;
    OpenMoviePtr Remove(basekit::utility::Guid const& id, std::int64_t sessionId);
    // Removes the session's movies and forgets its places.
    std::vector<OpenMoviePtr> RemoveSession(std::int64_t sessionId);
    std::size_t Count() const;

  private:
    void GiveBack(std::int64_t sessionId);  // with mMutex held

    mutable std::mutex mMutex;
    std::map<basekit::utility::Guid, OpenMoviePtr> mMovies;
    std::map<std::int64_t, std::size_t> mPlaces;  // session -> movies open or being opened
};

// Closes `movie`: marks it closed (requests still queued answer kErrMovieClosing) and queues
// the release of its engine behind them. Any thread.
void CloseMovie(OpenMoviePtr const& movie);

}  // namespace vireo::server::movie
