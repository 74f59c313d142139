// The server's worker pool and the sharing of its open pool between sessions.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "SessionOpeners.h"
#include "TimeScale.h"
#include "WorkerPool.h"
#include "basekit/debug/Debug.h"

namespace vireo::test::engine {
namespace {

using namespace std::chrono_literals;

// Records the failures reported while it lives.
class CaughtReports {
  public:
    CaughtReports() {
        mPrevious = basekit::debug::SetReportHandler([this](basekit::debug::Report const& report) {
            std::lock_guard<std::mutex> lock(mMutex);
            if (report.kind == basekit::debug::ReportKind::kFailure)
                mMessages.push_back(report.message);
            return false;
        });
    }
    ~CaughtReports() { basekit::debug::SetReportHandler(mPrevious); }
    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mMessages;
    }

  private:
    basekit::debug::ReportHandler mPrevious;
    std::mutex mMutex;
    std::vector<std::string> mMessages;
};

TEST(WorkerPool, AThrowingTaskIsReportedAndTheStrandGoesOn) {
    CaughtReports reports;
    server::WorkerPool pool(2);
    server::Strand strand = pool.MakeStrand();
    std::vector<int> ran;  // touched only by the strand's tasks, one at a time
    for (int i = 0; i < 50; ++i) {
        server::Post(strand, [&ran, i] {
            ran.push_back(i);
            if (i == 10)
                throw std::runtime_error("task ten failed");
        });
    }
    std::promise<std::vector<int>> done;
    server::Post(strand, [&] { done.set_value(ran); });
    auto future = done.get_future();
    ASSERT_EQ(future.wait_for(vireo::test::Scaled(10000ms)), std::future_status::ready);
    std::vector<int> const order = future.get();
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(order[std::size_t(i)], i);
    pool.Stop();
    ASSERT_EQ(reports.Messages().size(), 1u);
    EXPECT_EQ(reports.Messages().front(), "task ten failed");
}

TEST(SessionOpeners, OneSessionHoldsOnlyItsShareOfThePool) {
    server::WorkerPool pool(4);
    server::movie::SessionOpeners openers(pool, 2);
    // Session 1's opens wait at a door the test opens.
    std::promise<void> open;
    std::shared_future<void> door = open.get_future().share();
    std::atomic<int> waiting{0};
    std::atomic<int> slowDone{0};
    // Five slow opens of session 1: two run, three wait behind them.
    for (int i = 0; i < 5; ++i) {
        openers.Post(1, [&, door] {
            ++waiting;
            door.wait();
            --waiting;
            ++slowDone;
        });
    }
    ASSERT_TRUE(vireo::test::Eventually([&] { return waiting.load() == 2; }, 10000ms));
    // Session 2's opens run at once, on the threads session 1 leaves free (two at a time, so
    // the last two may still be running together: wait for all six to have finished).
    std::atomic<int> fastDone{0};
    for (int i = 0; i < 6; ++i)
        openers.Post(2, [&] { ++fastDone; });
    ASSERT_TRUE(vireo::test::Eventually([&] { return fastDone.load() == 6; }, 10000ms));
    EXPECT_EQ(waiting.load(), 2) << "session 1 never runs more than two at once";
    EXPECT_EQ(slowDone.load(), 0);
    // Once the door opens, session 1's waiting opens run too, in turn.
    open.set_value();
    ASSERT_TRUE(vireo::test::Eventually([&] { return slowDone.load() == 5; }, 10000ms));
    pool.Stop();
}

}  // namespace
}  // namespace vireo::test::engine
