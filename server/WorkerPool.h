#pragma once
// The server's worker threads: a Boost.Asio thread pool, and strands on it (for example one per
// open movie, so that its work runs in order and never on two threads at once while different
// movies run in parallel).
//
// Every task runs inside a guard: an exception escaping it is reported (basekit/debug/Failure.h)
// and the thread goes on with the next task.
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <functional>

namespace vireo::server {

// Tasks posted to one strand run one after another in the order posted, on the pool's threads.
using Strand = boost::asio::strand<boost::asio::thread_pool::executor_type>;

class WorkerPool {
  public:
    // threads == 0: as many as the machine has cores, at least two.
    explicit WorkerPool(unsigned threads = 0);
    ~WorkerPool();  // Stop()
    WorkerPool(WorkerPool const&) = delete;
    WorkerPool& operator=(WorkerPool const&) = delete;

    // Runs task on a pool thread. After Stop() it never runs.
    void Post(std::function<void()> task);
    // A new strand on this pool.
    Strand MakeStrand();
    // Tasks not started yet never run; waits for running ones to end. Call it from a thread
    // that is not one of the pool's (the server calls it from its main thread at shutdown).
    void Stop();

    unsigned ThreadCount() const noexcept { return mThreads; }

  private:
    unsigned const mThreads;
    boost::asio::thread_pool mPool;
};

// Runs task on `strand` after every task posted to it before. After the pool stopped it never
// runs.
void Post(Strand const& strand, std::function<void()> task);

}  // namespace vireo::server
