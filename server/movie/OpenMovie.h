#pragma once
// One movie opened by a client session, and the table of them.
//
// Every use of a movie's engine runs as a task on the movie's own serial queue, so a movie is
// never used by two threads at once while different movies decode in parallel on the server's
// worker pool. Requests are answered from those tasks.
#include <atomic>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "WorkerPool.h"
#include "basekit/utility/Guid.h"
#include "engine/Movie.h"

namespace vireoserver::movie {

class OpenMovie {
  public:
    OpenMovie(basekit::utility::Guid id, std::int64_t sessionId,
              std::unique_ptr<vireo::engine::Movie> engine, boost::shared_ptr<SerialQueue> queue,
              bool workAhead);

    basekit::utility::Guid const& Id() const noexcept { return mId; }
    std::int64_t SessionId() const noexcept { return mSessionId; }
    // Properties as read at opening; never changes, readable from any thread.
    vireo::engine::MovieInfo const& Info() const noexcept { return mInfo; }
    SerialQueue& Queue() noexcept { return *mQueue; }

    // The engine. Only tasks running on Queue() may use it; null once the movie is closed.
    vireo::engine::Movie* Engine() noexcept { return mEngine.get(); }
    // Runs on Queue(): frees the engine (the last task of a closed movie).
    void DestroyEngine() noexcept { mEngine.reset(); }

    // Any thread.
    void MarkClosed() noexcept { mClosed.store(true); }
    bool IsClosed() const noexcept { return mClosed.load(); }
    void SetQuiet(bool quiet) noexcept { mQuiet.store(quiet); }
    // True when idle time may go into decoding the next frames.
    bool ShouldWorkAhead() const noexcept {
        return mWorkAhead && !mQuiet.load() && mWaitingFrames.load() == 0;
    }

    // Frame requests waiting on the queue, by request identifier, so that a cancel can reach
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
    boost::shared_ptr<SerialQueue> const mQueue;
    bool const mWorkAhead;
    std::atomic<bool> mClosed{false};
    std::atomic<bool> mQuiet{false};
    std::atomic<int> mWaitingFrames{0};
    std::mutex mMutex;                                // guards the map below
    std::map<basekit::utility::Guid, bool> mWaiting;  // request -> cancelled
};

using OpenMoviePtr = std::shared_ptr<OpenMovie>;

// The open movies of every session, by movie identifier. Thread-safe.
class MovieRegistry {
  public:
    void Add(OpenMoviePtr const& movie);
    // The movie, when it is open and belongs to `sessionId`; otherwise null (a movie is only
    // visible to the session that opened it).
    OpenMoviePtr Find(basekit::utility::Guid const& id, std::int64_t sessionId) const;
    OpenMoviePtr Remove(basekit::utility::Guid const& id, std::int64_t sessionId);
    std::vector<OpenMoviePtr> RemoveSession(std::int64_t sessionId);
    std::size_t Count() const;

  private:
    mutable std::mutex mMutex;
    std::map<basekit::utility::Guid, OpenMoviePtr> mMovies;
};

// Closes `movie`: marks it closed (requests still queued answer kErrMovieClosing) and queues
// the release of its engine behind them. Any thread.
void CloseMovie(OpenMoviePtr const& movie);

}  // namespace vireoserver::movie
