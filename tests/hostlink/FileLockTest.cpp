// The registry's file lock: one holder at a time, handed on through a removed file, and freed by
// a holder that was killed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <thread>
#include <utility>

#include "TestHelpers.h"
#include "hostlink/FileLock.h"

namespace vireo::test::hostlink {
namespace {

using ::hostlink::FileLock;
using Outcome = FileLock::Outcome;
using OnRelease = FileLock::OnRelease;

TEST(FileLock, OneHolderAtATimeAndNoLinks) {
    support::TempDir dir;
    std::string const path = dir.Path() + "/lock";
    FileLock first, second;
    int error = 0;
    ASSERT_EQ(first.TryTake(path, OnRelease::kKeep, error), Outcome::kTaken);
    EXPECT_EQ(second.TryTake(path, OnRelease::kKeep, error), Outcome::kBusy);
    EXPECT_FALSE(second.Take(path, OnRelease::kKeep, 50)) << "times out while held";
    first.Release();
    EXPECT_EQ(second.TryTake(path, OnRelease::kKeep, error), Outcome::kTaken);
    EXPECT_EQ(::access(path.c_str(), F_OK), 0) << "kept";

    // A symbolic link at the path is refused, not followed.
    std::string const link = dir.Path() + "/link";
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    FileLock linked;
    EXPECT_EQ(linked.TryTake(link, OnRelease::kKeep, error), Outcome::kFailed);
    EXPECT_EQ(error, ELOOP);
}

TEST(FileLock, AWaiterOnARemovedFileTakesTheNewOneAtThePath) {
    support::TempDir dir;
    std::string const path = dir.Path() + "/lock";
    for (int round = 0; round < 200; ++round) {
        FileLock holder;
        int error = 0;
        ASSERT_EQ(holder.TryTake(path, OnRelease::kRemove, error), Outcome::kTaken);
        // The waiter tries without pause, so it often opens the file just before the holder
        // deletes it and locks it just after: it must then take the file at the path instead.
        std::atomic<bool> started{false};
        auto waiter = std::async(std::launch::async, [&] {
            FileLock lock;
            int busyError = 0;
            started = true;
            auto const deadline =
                std::chrono::steady_clock::now() + support::Scaled(std::chrono::seconds(10));
            while (lock.TryTake(path, OnRelease::kRemove, busyError) == Outcome::kBusy &&
                   std::chrono::steady_clock::now() < deadline) {
            }
            return lock;
        });
        while (!started) {
        }
        holder.Release();
        FileLock taken = waiter.get();
        ASSERT_TRUE(taken.IsHeld());
        FileLock third;
        EXPECT_EQ(third.TryTake(path, OnRelease::kRemove, error), Outcome::kBusy)
            << "the waiter holds the file that is at the path, round " << round;
        taken.Release();
        EXPECT_NE(::access(path.c_str(), F_OK), 0) << "removed on release";
    }
}

TEST(FileLock, AKilledHolderFreesTheLock) {
    support::TempDir dir;
    std::string const path = dir.Path() + "/lock";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t const child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FileLock lock;
        int error = 0;
        char const taken = lock.TryTake(path, OnRelease::kKeep, error) == Outcome::kTaken;
        (void)::write(ready[1], &taken, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char taken = 0;
    ASSERT_EQ(::read(ready[0], &taken, 1), 1);
    ::close(ready[0]);
    ASSERT_TRUE(taken);
    FileLock lock;
    int error = 0;
    EXPECT_EQ(lock.TryTake(path, OnRelease::kKeep, error), Outcome::kBusy);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(lock.Take(path, OnRelease::kKeep, support::ScaledMs(10000)));
}

}  // namespace
}  // namespace vireo::test::hostlink
