#pragma once
// The server's shared worker threads, and serial queues on top of them (for example one queue
// per open movie, so that its work runs in order and never on two threads at once).
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

namespace vireoserver {

class SerialQueue;

class WorkerPool {
  public:
    // threads == 0: as many as the machine has cores, at least two.
    explicit WorkerPool(unsigned threads = 0);
    ~WorkerPool();  // Stop()
    WorkerPool(WorkerPool const&) = delete;
    WorkerPool& operator=(WorkerPool const&) = delete;

    // Runs task on a pool thread. Exceptions thrown by it are logged and dropped. After Stop()
    // tasks are dropped.
    void Post(boost::function<void()> task);
    // A new serial queue whose tasks run on this pool one after another in order.
    boost::shared_ptr<SerialQueue> MakeQueue();
    // Drops queued tasks and waits for running ones to end.
    void Stop();

    struct State;

  private:
    boost::shared_ptr<State> mState;
};

class SerialQueue {
  public:
    // Runs task after every task posted before it, on a pool thread.
    void Post(boost::function<void()> task);

    struct State;
    explicit SerialQueue(boost::shared_ptr<State> state);

  private:
    boost::shared_ptr<State> mState;
};

}  // namespace vireoserver
