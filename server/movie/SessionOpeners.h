#pragma once
// Opening movies on the server's open pool, shared fairly between sessions: at most a few opens
// of one session run at once, the session's further opens wait in order. One client that opens
// slow files (a file on a hung mount, a playlist that fans out) holds only its own share of the
// pool, so other clients' opens still start at once.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "WorkerPool.h"

namespace vireo::server::movie {

class SessionOpeners {
  public:
    // `pool` must outlive the tasks posted here (the server stops it before it goes).
    SessionOpeners(WorkerPool& pool, unsigned perSession);

    // Runs `task` on the pool once fewer than `perSession` tasks of `sessionId` run. Any thread.
    void Post(std::int64_t sessionId, std::function<void()> task);

  private:
    struct Shared;
    std::shared_ptr<Shared> mShared;
};

}  // namespace vireo::server::movie
