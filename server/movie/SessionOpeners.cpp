#include "SessionOpeners.h"

namespace vireo::server::movie {

struct SessionOpeners::Shared : std::enable_shared_from_this<Shared> {
    struct Queue {
        unsigned running = 0;
        std::deque<std::function<void()>> waiting;
    };

    WorkerPool& pool;
    unsigned const perSession;
    std::mutex mutex;  // guards queues
    std::map<std::int64_t, Queue> queues;

    Shared(WorkerPool& p, unsigned n) : pool(p), perSession(n > 0 ? n : 1) {}

    void Start(std::int64_t sessionId, std::function<void()> task) {
        auto self = shared_from_this();
        pool.Post([self, sessionId, task = std::move(task)] {
            // The session's next open starts even when this one throws (the pool reports it).
            struct Next {
                Shared& shared;
                std::int64_t sessionId;
                ~Next() { shared.Finished(sessionId); }
            } next{*self, sessionId};
            task();
        });
    }

    void Finished(std::int64_t sessionId) {
        std::function<void()> next;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto found = queues.find(sessionId);
            if (found == queues.end())
                return;
            Queue& queue = found->second;
            if (queue.waiting.empty()) {
                if (--queue.running == 0)
                    queues.erase(found);
                return;
            }
            next = std::move(queue.waiting.front());
            queue.waiting.pop_front();
        }
        Start(sessionId, std::move(next));
    }
};

SessionOpeners::SessionOpeners(WorkerPool& pool, unsigned perSession)
    : mShared(std::make_shared<Shared>(pool, perSession)) {}

void SessionOpeners::Post(std::int64_t sessionId, std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mShared->mutex);
        Shared::Queue& queue = mShared->queues[sessionId];
        if (queue.running >= mShared->perSession) {
            queue.waiting.push_back(std::move(task));
            return;
        }
        ++queue.running;
    }
    mShared->Start(sessionId, std::move(task));
}

}  // namespace vireo::server::movie
