// bench_scale as a whole: a short run completes with agreeing checksums and leaves no process
// or temporary directory behind, and a server that dies under the hosts ends the run at once with a
// failure. Plus the memory trend it reports.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ScaleServer.h"
#include "TimeScale.h"
#include "basekit/utility/Parse.h"
#include "basekit/utility/Process.h"

namespace vireo::test::bench {
namespace {

using vireo::bench::MemorySample;
using vireo::bench::SlopePerMinute;

struct Outcome {
    bool ended = false;  // by itself, within the bound
    int status = -1;     // exit status when it ended
    std::string output;  // standard output and error
    double seconds = 0;
};

// Runs bench_scale with `arguments` and `environment` (NAME=VALUE), killing it after `bound`.
Outcome RunBench(std::vector<std::string> arguments, std::vector<std::string> environment,
                 std::chrono::seconds bound) {
    char pattern[] = "/tmp/bench-scale-test-XXXXXX";
    int const log = ::mkstemp(pattern);
    Outcome outcome;
    if (log < 0) {
        return outcome;
    }
    arguments.insert(arguments.begin(), VIREO_BENCH_SCALE);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    auto const start = std::chrono::steady_clock::now();
    pid_t const pid = ::fork();
    if (pid == 0) {
        for (std::string& setting : environment) {
            ::putenv(setting.data());
        }
        ::dup2(log, 1);
        ::dup2(log, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    auto const deadline = start + std::chrono::duration_cast<std::chrono::seconds>(
                                      Scaled(std::chrono::milliseconds(bound)));
    int status = 0;
    while (pid > 0) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            outcome.ended = true;
            outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::ifstream file(pattern);
    std::stringstream text;
    text << file.rdbuf();
    outcome.output = text.str();
    ::close(log);
    ::unlink(pattern);
    return outcome;
}

// The process ids the run printed: the server's and those of every child it started.
std::vector<std::int64_t> PrintedPids(std::string const& output) {
    std::vector<std::int64_t> pids;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        bool const server = line.rfind("server process ", 0) == 0;
        std::size_t const at = server ? 0 : line.find(": processes ");
        if (at == std::string::npos) {
            continue;
        }
        std::string const list = line.substr(line.find("process", at));
        std::istringstream words(server ? list.substr(0, list.find(',')) : list);
        for (std::string word; words >> word;) {
            std::int64_t pid = 0;
            if (basekit::utility::ParseInteger(word, pid)) {
                pids.push_back(pid);
            }
        }
    }
    return pids;
}

// The temporary directories the run printed (its registry and its movies).
std::vector<std::string> PrintedDirectories(std::string const& output) {
    std::vector<std::string> directories;
    std::size_t const registry = output.find(", registry ");
    std::size_t const movies = output.find(", movies in ");
    std::size_t const end = output.find('\n', movies);
    if (registry != std::string::npos && movies != std::string::npos && end != std::string::npos) {
        directories.push_back(output.substr(registry + 11, movies - registry - 11));
        directories.push_back(output.substr(movies + 12, end - movies - 12));
    }
    return directories;
}

bool Exists(std::string const& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

TEST(ScaleBenchTest, ShortRunAgreesAndLeavesNothingBehind) {
    Outcome const run = RunBench({"1", "2", "2"}, {}, std::chrono::seconds(240));
    ASSERT_TRUE(run.ended) << run.output;
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("ratio library / in-process"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("each movie's frames agree across all 4 readers"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("slope of RSS"), std::string::npos) << run.output;
    std::vector<std::int64_t> const pids = PrintedPids(run.output);
    EXPECT_EQ(pids.size(), 4u) << run.output;  // the server, two hosts, the in-process reader
    for (std::int64_t pid : pids) {
        EXPECT_FALSE(basekit::utility::IsProcessAlive(pid)) << pid;
    }
    std::vector<std::string> const directories = PrintedDirectories(run.output);
    ASSERT_EQ(directories.size(), 2u) << run.output;
    for (std::string const& directory : directories) {
        EXPECT_FALSE(Exists(directory)) << directory;
    }
}

// The hosts' window is long; the server is killed a second into it. The run must end long before
// the window would have, with a failure, ending its hosts.
TEST(ScaleBenchTest, DeadServerEndsTheRunWithAFailure) {
    Outcome const run =
        RunBench({"600", "2", "1"}, {"VIREO_BENCH_SCALE_KILL_SERVER=1"}, std::chrono::seconds(300));
    ASSERT_TRUE(run.ended) << run.output;
    EXPECT_NE(run.status, 0) << run.output;
    EXPECT_LT(run.seconds, 600) << run.output;
    EXPECT_EQ(run.output.find("ratio library / in-process"), std::string::npos) << run.output;
    std::vector<std::int64_t> const pids = PrintedPids(run.output);
    EXPECT_EQ(pids.size(), 4u) << run.output;  // the server, two hosts, the in-process reader
    for (std::int64_t pid : pids) {
        EXPECT_FALSE(basekit::utility::IsProcessAlive(pid)) << pid;
    }
    for (std::string const& directory : PrintedDirectories(run.output)) {
        EXPECT_FALSE(Exists(directory)) << directory;
    }
}

TEST(ScaleBenchTest, MemorySlopeFollowsTheTrendAndCanLeaveOutTheStart) {
    std::vector<MemorySample> samples;
    // Ten minutes: a climb of 100 MiB in the first minute, then flat with a little noise.
    for (int second = 0; second <= 600; ++second) {
        MemorySample sample;
        sample.minutes = second / 60.0;
        sample.rss = second < 60 ? 200 + 100 * second / 60.0 : 300 + (second % 2 == 0 ? 1 : -1);
        samples.push_back(sample);
    }
    EXPECT_GT(SlopePerMinute(samples, 0), 1.0);
    EXPECT_NEAR(SlopePerMinute(samples, 0.5), 0, 0.01);

    // A steady leak of 2 MiB a minute shows the same over the whole run and its second half.
    for (MemorySample& sample : samples) {
        sample.rss = 100 + 2 * sample.minutes;
    }
    EXPECT_NEAR(SlopePerMinute(samples, 0), 2, 1e-9);
    EXPECT_NEAR(SlopePerMinute(samples, 0.5), 2, 1e-9);

    EXPECT_EQ(SlopePerMinute({}, 0), 0);
    EXPECT_EQ(SlopePerMinute({samples.front()}, 0), 0);
}

TEST(ScaleBenchTest, ReadsTheMemoryOfALiveProcessOnly) {
    MemorySample sample;
    ASSERT_TRUE(vireo::bench::ReadMemory(::getpid(), sample));
    EXPECT_GT(sample.rss, 0);
    EXPECT_GE(sample.rss, sample.anon);
    MemorySample gone;
    EXPECT_FALSE(vireo::bench::ReadMemory(-1, gone));
}

}  // namespace
}  // namespace vireo::test::bench
