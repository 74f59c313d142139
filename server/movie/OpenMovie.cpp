#include "OpenMovie.h"

namespace vireo::server::movie {

OpenMovie::OpenMovie(basekit::utility::Guid id, std::int64_t sessionId,
                     std::unique_ptr<vireo::engine::Movie> engine, Strand strand, bool workAhead)
    : mId(id),
      mSessionId(sessionId),
      mInfo(engine->Info()),
      mEngine(std::move(engine)),
      mStrand(std::move(strand)),
      mWorkAhead(workAhead) {}

void OpenMovie::FrameRequestQueued(basekit::utility::Guid const& request) {
    std::lock_guard<std::mutex> lock(mMutex);
    // A request identifier already waiting (a client's mistake) keeps its first entry.
    if (mWaiting.emplace(request, false).second)
        mWaitingFrames.fetch_add(1);
}

bool OpenMovie::FrameRequestStarts(basekit::utility::Guid const& request) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto found = mWaiting.find(request);
    if (found == mWaiting.end())
        return false;
    bool cancelled = found->second;
    mWaiting.erase(found);
    mWaitingFrames.fetch_sub(1);
    return cancelled;
}

void OpenMovie::CancelFrameRequest(basekit::utility::Guid const& request) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto found = mWaiting.find(request);
    if (found != mWaiting.end())
        found->second = true;
}

bool MovieRegistry::Reserve(std::int64_t sessionId, std::size_t limit) {
    std::lock_guard<std::mutex> lock(mMutex);
    std::size_t& places = mPlaces[sessionId];
    if (places >= limit)
        return false;
    ++places;
    return true;
}

void MovieRegistry::GiveBack(std::int64_t sessionId) {
    // A session that ended while its movie was opening has no places left to give back.
    auto found = mPlaces.find(sessionId);
    if (found == mPlaces.end())
        return;
    if (found->second > 1)
        --found->second;
    else
        mPlaces.erase(found);
}

void MovieRegistry::Unreserve(std::int64_t sessionId) {
    std::lock_guard<std::mutex> lock(mMutex);
    GiveBack(sessionId);
}

void MovieRegistry::Add(OpenMoviePtr const& movie) {
    std::lock_guard<std::mutex> lock(mMutex);
    mMovies[movie->Id()] = movie;
}

OpenMoviePtr MovieRegistry::Find(basekit::utility::Guid const& id, std::int64_t sessionId) const {
    std::lock_guard<std::mutex> lock(mMutex);
    auto found = mMovies.find(id);
    if (found == mMovies.end() || found->second->SessionId() != sessionId)
        return nullptr;
    return found->second;
}

OpenMoviePtr MovieRegistry::Remove(basekit::utility::Guid const& id, std::int64_t sessionId) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto found = mMovies.find(id);
    if (found == mMovies.end() || found->second->SessionId() != sessionId)
        return nullptr;
    OpenMoviePtr movie = found->second;
    mMovies.erase(found);
    GiveBack(sessionId);
    return movie;
}

std::vector<OpenMoviePtr> MovieRegistry::RemoveSession(std::int64_t sessionId) {
    std::vector<OpenMoviePtr> removed;
    std::lock_guard<std::mutex> lock(mMutex);
    for (auto it = mMovies.begin(); it != mMovies.end();) {
        if (it->second->SessionId() == sessionId) {
            removed.push_back(it->second);
            it = mMovies.erase(it);
        } else {
            ++it;
        }
    }
    mPlaces.erase(sessionId);
    return removed;
}

std::size_t MovieRegistry::Count() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mMovies.size();
}

void CloseMovie(OpenMoviePtr const& movie) {
    movie->MarkClosed();
    movie->Post([movie] { movie->DestroyEngine(); });
}

}  // namespace vireo::server::movie
