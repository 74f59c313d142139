#pragma once
// Helpers of the whole-system benchmarks (bench_library_roundtrip, bench_import_frames): a
// private registry directory for the servers a benchmark starts, processor time of processes
// and their threads, and robust statistics for a noisy machine.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/json/parse.hpp>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vireo::bench {

// Reads one 64-bit word of every 64-byte cache line of every row of a frame's pixels, so that a
// benchmark variant cannot win by not reading its pixels; the result lets variants compare frames.
inline std::uint64_t PixelChecksum(void const* pixels, std::size_t rowBytes, std::size_t usedBytes,
                                   std::uint32_t height) {
    auto const* base = static_cast<unsigned char const*>(pixels);
    std::uint64_t sum = 0;
    for (std::uint32_t y = 0; y < height; ++y) {
        unsigned char const* row = base + y * rowBytes;
        for (std::size_t x = 0; x + 8 <= usedBytes; x += 64) {
            std::uint64_t word;
            std::memcpy(&word, row + x, sizeof word);
            sum = (sum << 1 | sum >> 63) ^ word;
        }
    }
    return sum;
}

inline double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    std::size_t const n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The value below which `percent` of the values lie (nearest rank).
inline double Percentile(std::vector<double> values, int percent) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    std::size_t const rank = values.size() * static_cast<std::size_t>(percent) / 100;
    return values[std::min(rank, values.size() - 1)];
}

inline double Lowest(std::vector<double> const& values) {
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

inline double Highest(std::vector<double> const& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// A registry directory of its own (mode 0700), made current through CORVIDHOST_REGISTRY_DIR, so
// that a benchmark neither uses nor disturbs the servers of other programs. Make it before any
// thread exists: the servers inherit the environment.
class PrivateRegistry {
  public:
    bool Make() {
        char pattern[] = "/tmp/vireo-bench-registry-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            return false;
        }
        mDir = pattern;
        ::chmod(mDir.c_str(), 0700);
        return ::setenv("CORVIDHOST_REGISTRY_DIR", mDir.c_str(), 1) == 0;
    }

    // Process ids named by the registry's entries.
    std::vector<pid_t> ServerPids() const {
        std::vector<pid_t> pids;
        for (std::string const& name : Files()) {
            if (name.size() < 5 || name.compare(name.size() - 5, 5, ".json") != 0) {
                continue;
            }
            std::ifstream file(mDir + "/" + name);
            std::stringstream text;
            text << file.rdbuf();
            boost::system::error_code error;
            boost::json::value const entry = boost::json::parse(text.str(), error);
            auto const* pid =
                !error && entry.is_object() ? entry.as_object().if_contains("pid") : nullptr;
            if (pid != nullptr && pid->is_int64() && pid->as_int64() > 0) {
                pids.push_back(static_cast<pid_t>(pid->as_int64()));
            }
        }
        return pids;
    }

    // Ends the servers of this registry (which this program started) and waits, at most 10 s
    // each, until they are gone.
    void StopServers() const {
        for (pid_t const pid : ServerPids()) {
            if (::kill(pid, SIGTERM) != 0) {
                continue;
            }
            auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (::kill(pid, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
    }

    // Removes the directory and what is left in it (the servers leave folders there too).
    void Remove() const {
        std::error_code error;
        std::filesystem::remove_all(mDir, error);
    }

  private:
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        if (DIR* listing = ::opendir(mDir.c_str())) {
            while (dirent* item = ::readdir(listing)) {
                std::string const name = item->d_name;
                if (name != "." && name != "..") {
                    names.push_back(name);
                }
            }
            ::closedir(listing);
        }
        return names;
    }

    std::string mDir;
};

// Time on a processor (nanoseconds) and times put on a processor, of a set of threads.
struct Usage {
    std::uint64_t nanoseconds = 0;
    std::uint64_t runs = 0;

    Usage& operator+=(Usage const& other) {
        nanoseconds += other.nanoseconds;
        runs += other.runs;
        return *this;
    }
    // The usage since `other`, an earlier reading of the same thread (a smaller figure means
    // that the thread id was reused by a new thread: all of its usage is new).
    Usage operator-(Usage const& other) const {
        if (nanoseconds < other.nanoseconds || runs < other.runs) {
            return *this;
        }
        return {nanoseconds - other.nanoseconds, runs - other.runs};
    }
};

// The usage of one thread from its schedstat file ("/proc/thread-self/schedstat" for the
// calling thread); zero if it cannot be read.
inline Usage ReadThreadUsage(std::string const& schedstat) {
    std::uint64_t onCpu = 0, waiting = 0, runs = 0;
    if (std::ifstream(schedstat) >> onCpu >> waiting >> runs) {
        return {onCpu, runs};
    }
    return {};
}

// A process whose threads are measured, and its name in the breakdown.
struct Process {
    pid_t pid;
    char const* label;
};

// Usage of every thread of some processes. The difference of two readings gives the usage in
// between, in total and by process and thread name; threads inherit the name of the thread
// that made them (a decoder's threads bear their process's name). A thread that ends between
// the two readings takes its usage with it.
class ProcessUsage {
  public:
    static ProcessUsage Read(std::vector<Process> const& processes) {
        ProcessUsage usage;
        for (Process const& process : processes) {
            std::string const tasks = "/proc/" + std::to_string(process.pid) + "/task";
            DIR* listing = process.pid > 0 ? ::opendir(tasks.c_str()) : nullptr;
            if (listing == nullptr) {
                continue;
            }
            while (dirent* item = ::readdir(listing)) {
                if (item->d_name[0] == '.') {
                    continue;
                }
                std::string const task = tasks + "/" + item->d_name;
                std::string name;
                std::ifstream comm(task + "/comm");
                std::getline(comm, name);
                usage.mThreads[task] = {std::string(process.label) + ": " + name,
                                        ReadThreadUsage(task + "/schedstat")};
            }
            ::closedir(listing);
        }
        return usage;
    }

    // Usage from `before` to this reading, by process and thread name.
    std::map<std::string, Usage> Since(ProcessUsage const& before) const {
        std::map<std::string, Usage> byName;
        for (auto const& [task, thread] : mThreads) {
            auto const found = before.mThreads.find(task);
            byName[thread.first] += found == before.mThreads.end()
                                        ? thread.second
                                        : thread.second - found->second.second;
        }
        return byName;
    }

    // Usage from `before` to this reading, in total.
    Usage TotalSince(ProcessUsage const& before) const {
        Usage total;
        for (auto const& entry : Since(before)) {
            total += entry.second;
        }
        return total;
    }

  private:
    // By /proc path of the thread: name in the breakdown, usage since it started.
    std::map<std::string, std::pair<std::string, Usage>> mThreads;
};

}  // namespace vireo::bench
