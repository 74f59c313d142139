#pragma once
// A rendezvous of a fixed number of parties: each Wait blocks until all parties have arrived,
// then all go on and the rendezvous can be used again. Destroying a SyncPoint waits until every
// thread released by it has left Wait, so one on the stack of a caller that leaves first is safe.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace basekit {
namespace threads {

class SyncPoint {
public:
    explicit SyncPoint(unsigned parties);
    ~SyncPoint();
    SyncPoint(SyncPoint const&) = delete;
    SyncPoint& operator=(SyncPoint const&) = delete;

    // Blocks until all parties have called Wait. Always true.
    bool Wait();
    // As Wait, giving up after timeoutMs milliseconds (negative: no limit). A party that gives up
    // withdraws its arrival. True when the rendezvous was met.
    bool Wait(int timeoutMs);

private:
    std::mutex mMutex;
    std::condition_variable mArrived;
    std::condition_variable mLeft;
    unsigned const mParties;
    unsigned mWaiting = 0;
    unsigned mInside = 0;
    std::uint64_t mGeneration = 0;
    std::atomic<unsigned> mNotifying{0};
};

}  // namespace threads
}  // namespace basekit
