#include "WorkerCore.h"

#include <pthread.h>

#include <system_error>
#include <vector>

#include "basekit/threads/ThreadRole.h"

namespace basetransport {
namespace detail {

namespace {
thread_local WorkerCore const* tCurrentCore = nullptr;
}  // namespace

boost::shared_ptr<WorkerCore> WorkerCore::Create() {
    boost::shared_ptr<WorkerCore> core(new WorkerCore());
    core->Start();
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

WorkerCore::~WorkerCore() {
    DeliveryMonitor::Instance().Unwatch(mMonitorID);
    // Every other thread has let go of the core, so each has finished or is about to.
    for (auto& worker : mWorkers) {
        if (!worker.thread.joinable()) {
            continue;
        }
        if (worker.thread.get_id() == std::this_thread::get_id()) {
            worker.thread.detach();  // this thread: it ends as soon as this returns
        } else {
            worker.thread.join();
        }
    }
}

void WorkerCore::Start() {
    mMonitorID = DeliveryMonitor::Instance().Watch(boost::weak_ptr<Monitored>(shared_from_this()));
    std::lock_guard<std::mutex> lock(mMutex);
    mRunning = 1;
    SpawnLocked(true);
    SpawnLocked(false);
}

void WorkerCore::Post(boost::function<void()> task) {
    PostTask(std::move(task));
}

bool WorkerCore::IsWorkerThread() const {
    return tCurrentCore == this;
}

void WorkerCore::SetStallGrace(std::chrono::microseconds grace) {
    std::lock_guard<std::mutex> lock(mMutex);
    mStallGrace = grace;
}

int WorkerCore::ThreadCount() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mThreads;
}

void WorkerCore::Stop(std::chrono::milliseconds grace) {
    std::unique_lock<std::mutex> lock(mMutex);
    mStopping = true;
    // Without the work guard the loop ends (and every thread leaves) once the queued tasks and
    // pending socket operations have completed.
    mWork.reset();
    mSpareWake.notify_all();
    int const self = IsWorkerThread() ? 1 : 0;
    if (!mThreadLeft.wait_for(lock, grace, [&] { return mThreads <= self; })) {
        // Something still holds work (a blocked handler, an open socket): make the idle threads
        // leave now; the blocked ones leave when their handler returns.
        mIo.stop();
    }
    JoinFinishedLocked();
}

void WorkerCore::EnterBusy() {
    std::chrono::microseconds grace;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (++mBusy < mRunning) {
            return;  // a thread is still free to run the loop: nothing to watch yet
        }
        mAllBusySince = Clock::now();
        grace = mStallGrace;
    }
    DeliveryMonitor::Instance().NoteHandlerStart(grace);
}

void WorkerCore::LeaveBusy() {
    std::lock_guard<std::mutex> lock(mMutex);
    --mBusy;
}

std::optional<Monitored::TimePoint> WorkerCore::CheckProgress(TimePoint now) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mStopping || mBusy < mRunning) {
        // A thread is free to run the loop; the next thread to become busy while none is
        // free notes its start again.
        return std::nullopt;
    }
    if (now - mAllBusySince >= mStallGrace) {
        // Every thread of the loop is inside a handler that has not returned: one more.
        AddRunnerLocked();
        mAllBusySince = now;
        if (mBusy < mRunning) {
            return std::nullopt;
        }
    }
    return mAllBusySince + mStallGrace;
}

void WorkerCore::AddRunnerLocked() {
    if (mThreads > mRunning) {
        ++mCalled;
        ++mRunning;
        mSpareWake.notify_one();
    } else if (mThreads < kMaxThreads) {
        ++mRunning;
        SpawnLocked(true);
    }
}

void WorkerCore::SpawnLocked(bool running) {
    JoinFinishedLocked();
    auto const self = mWorkers.insert(mWorkers.end(), Worker());
    ++mThreads;
    try {
        self->thread = std::thread(&WorkerCore::ThreadMain, shared_from_this(), self, running);
    } catch (std::system_error const&) {
        // Out of threads: the busy ones will come back.
        mWorkers.erase(self);
        --mThreads;
        if (running) {
            --mRunning;
        }
    }
}

void WorkerCore::JoinFinishedLocked() {
    if (mUnjoined == 0) {
        return;
    }
    for (auto it = mWorkers.begin(); it != mWorkers.end();) {
        if (it->finished && it->thread.get_id() != std::this_thread::get_id()) {
            if (it->thread.joinable()) {
                it->thread.join();  // it needs the lock no more: this returns once it has ended
            }
            it = mWorkers.erase(it);
            --mUnjoined;
        } else {
            ++it;
        }
    }
}

void WorkerCore::ThreadMain(boost::shared_ptr<WorkerCore> core, std::list<Worker>::iterator self,
                            bool running) {
    pthread_setname_np(pthread_self(), "vireo-transport");
    // Every thread of a core runs RPC answers, errors and session handlers.
    basekit::threads::ScopedThreadRole role(basekit::threads::ThreadRole::kDelivery);
    tCurrentCore = core.get();
    core->Loop(running);
    tCurrentCore = nullptr;
    std::lock_guard<std::mutex> lock(core->mMutex);
    // The last use of the core's lock by this thread: from here on it may be joined, by a spare
    // (woken for it), the loop's next turn, Stop or the core's end.
    self->finished = true;
    ++core->mUnjoined;
    --core->mThreads;
    core->mThreadLeft.notify_all();
    core->mSpareWake.notify_all();
}

bool WorkerCore::WaitAsSpare(std::unique_lock<std::mutex>& lock) {
    for (;;) {
        bool const woken =
            mSpareWake.wait_for(lock, kIdleTimeout, [this] { return mCalled > 0 || mStopping; });
        if (mCalled > 0) {
            --mCalled;  // counted in mRunning by the caller
            return true;
        }
        if (mStopping || (!woken && mThreads > kMinThreads)) {
            return false;
        }
    }
}

void WorkerCore::Loop(bool running) {
    if (!running) {
        std::unique_lock<std::mutex> lock(mMutex);
        if (!WaitAsSpare(lock)) {
            return;
        }
    }
    for (;;) {
        try {
            mIo.run_one_for(kIdleTimeout);
        } catch (...) {
            // Completions wrap handler code, so this is the loop's own failure; keep running.
            BASEKIT_REPORT_CAUGHT("running a transport's event loop");
        }
        std::unique_lock<std::mutex> lock(mMutex);
        JoinFinishedLocked();
        if (mIo.stopped()) {
            --mRunning;
            return;
        }
        if (mRunning - mBusy <= 1) {
            continue;  // the one free thread of the loop: it stays
        }
        // Another thread is free to run the loop: wait as a spare.
        --mRunning;
        if (!WaitAsSpare(lock)) {
            return;
        }
    }
}

}  // namespace detail
}  // namespace basetransport
