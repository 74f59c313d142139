#include "WorkerPool.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <thread>

#include "basekit/debug/Failure.h"

namespace vireo::server {

namespace {

unsigned ThreadsFor(unsigned threads) {
    return threads != 0 ? threads : std::max(2u, std::thread::hardware_concurrency());
}

// A task whose exception would otherwise end the pool's thread (and with it the process).
std::function<void()> Guarded(std::function<void()> task) {
    return [task = std::move(task)] {
        try {
            task();
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("running a server task");
        }
    };
}

}  // namespace

WorkerPool::WorkerPool(unsigned threads) : mThreads(ThreadsFor(threads)), mPool(mThreads) {}

WorkerPool::~WorkerPool() {
    Stop();
}

void WorkerPool::Post(std::function<void()> task) {
    boost::asio::post(mPool, Guarded(std::move(task)));
}

Strand WorkerPool::MakeStrand() {
    return boost::asio::make_strand(mPool.get_executor());
}

void WorkerPool::Stop() {
    mPool.stop();
    mPool.join();
}

void Post(Strand const& strand, std::function<void()> task) {
    boost::asio::post(strand, Guarded(std::move(task)));
}

}  // namespace vireo::server
