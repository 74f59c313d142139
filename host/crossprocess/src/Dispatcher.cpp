#include "Dispatcher.h"

#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <memory>

#include "basekit/debug/Failure.h"
#include "basekit/threads/ThreadRole.h"

namespace crossprocess {
namespace detail {

namespace {
std::atomic<Dispatcher*> gMade{nullptr};
}  // namespace

Dispatcher& Dispatcher::Instance() {
    static Dispatcher* dispatcher = [] {
        auto* made = new Dispatcher;
        gMade.store(made, std::memory_order_release);
        return made;
    }();
    return *dispatcher;
}

void Dispatcher::StopIfStarted() {
    if (Dispatcher* made = gMade.load(std::memory_order_acquire)) {
        made->Stop();
    }
}

Dispatcher::Dispatcher() : mWork(boost::asio::make_work_guard(mContext)) {
    mThread = std::thread([this] { Run(); });
}

void Dispatcher::Run() {
    // The thread runs data notifications (failures decided at registration), so callers can
    // tell it from their own threads.
    basekit::threads::ScopedThreadRole role(basekit::threads::ThreadRole::kSharedData);
    for (;;) {
        try {
            mContext.run();
            return;  // stopped
        } catch (...) {
            // Tasks catch their own exceptions; this is the io_context's own failure.
            BASEKIT_REPORT_CAUGHT("running the crossprocess thread");
        }
    }
}

void Dispatcher::RunTask(std::function<void()> const& task) {
    try {
        task();
    } catch (...) {
        BASEKIT_REPORT_CAUGHT("running a crossprocess task");
    }
}

void Dispatcher::Post(std::function<void()> task, std::chrono::milliseconds delay) {
    if (delay.count() <= 0) {
        boost::asio::post(mContext, [task = std::move(task)] { RunTask(task); });
        return;
    }
    auto timer = std::make_shared<boost::asio::steady_timer>(mContext, delay);
    timer->async_wait([timer, task = std::move(task)](boost::system::error_code const& error) {
        if (!error) {
            RunTask(task);
        }
    });
}

void Dispatcher::Stop() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mStopped) {
        return;
    }
    mStopped = true;
    mWork.reset();
    mContext.stop();
    if (mThread.joinable() && mThread.get_id() != std::this_thread::get_id()) {
        mThread.join();
    }
}

}  // namespace detail
}  // namespace crossprocess
