#include "WorkerCore.h"

#include <pthread.h>

#include <thread>

namespace basetransport {
namespace detail {

namespace {
thread_local WorkerCore const* tCurrentCore = nullptr;
}  // namespace

boost::shared_ptr<WorkerCore> WorkerCore::Create() {
    boost::shared_ptr<WorkerCore> core(new WorkerCore());
    core->StartThreads();
    return core;
}

WorkerCore& WorkerCore::Fallback() {
    // Deliberately never destroyed: its threads may still run while the process exits.
    static boost::shared_ptr<WorkerCore>* const sFallback =
        new boost::shared_ptr<WorkerCore>(Create());
    return **sFallback;
}

WorkerCore::WorkerCore() {
    mWork.emplace(boost::asio::make_work_guard(mIo));
}

WorkerCore::~WorkerCore() = default;

void WorkerCore::StartThreads() {
    std::lock_guard<std::mutex> lock(mMutex);
    for (int i = 0; i < kMinThreads; ++i) {
        SpawnLocked();
    }
}

void WorkerCore::Post(boost::function<void()> task) {
    PostTask(std::move(task));
}

bool WorkerCore::IsWorkerThread() const {
    return tCurrentCore == this;
}

void WorkerCore::Stop(std::chrono::milliseconds grace) {
    std::unique_lock<std::mutex> lock(mMutex);
    mStopping = true;
    // Without the work guard the loop ends (and every thread leaves) once the queued tasks and
    // pending socket operations have completed.
    mWork.reset();
    int const self = IsWorkerThread() ? 1 : 0;
    if (!mThreadLeft.wait_for(lock, grace, [&] { return mThreads.load() <= self; })) {
        // Something still holds work (a blocked handler, an open socket): make the idle
        // threads leave now; the blocked ones leave when their handler returns.
        mIo.stop();
    }
}

void WorkerCore::EnterBusy() {
    int const busy = mBusy.fetch_add(1) + 1;
    if (mThreads.load() - busy >= 1) {
        return;
    }
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mStopping && mThreads.load() - mBusy.load() < 1 && mThreads.load() < kMaxThreads) {
        SpawnLocked();
    }
}

void WorkerCore::LeaveBusy() {
    mBusy.fetch_sub(1);
}

void WorkerCore::SpawnLocked() {
    mThreads.fetch_add(1);
    try {
        std::thread(&WorkerCore::ThreadMain, shared_from_this()).detach();
    } catch (...) {
        // Out of threads: the busy ones will come back.
        mThreads.fetch_sub(1);
    }
}

void WorkerCore::ThreadMain(boost::shared_ptr<WorkerCore> core) {
    pthread_setname_np(pthread_self(), "vireo-transport");
    tCurrentCore = core.get();
    for (;;) {
        std::size_t ran = 0;
        try {
            ran = core->mIo.run_one_for(kIdleTimeout);
        } catch (...) {
            // Completions never throw (handler code is wrapped); keep the thread alive anyway.
            ran = 1;
        }
        if (ran != 0 && !core->mIo.stopped()) {
            continue;
        }
        std::lock_guard<std::mutex> lock(core->mMutex);
        // Leave when the loop has ended, or after kIdleTimeout without work if enough other
        // threads remain.
        bool const leave =
            core->mIo.stopped() || (ran == 0 && core->mThreads.load() > kMinThreads &&
                                    core->mThreads.load() - core->mBusy.load() > 1);
        if (leave) {
            core->mThreads.fetch_sub(1);
            core->mThreadLeft.notify_all();
            break;
        }
    }
    tCurrentCore = nullptr;
}

}  // namespace detail
}  // namespace basetransport
