#pragma once
// The server's memory over a bench_scale run: samples of its resident set from
// /proc/<pid>/status, and the trend through them.
#include <sys/types.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "basekit/utility/Parse.h"

namespace vireo::bench {

// Resident memory of a process at one moment, in MiB.
struct MemorySample {
    double minutes = 0;  // since the start of the run
    double rss = 0;      // all resident pages
    double anon = 0;     // of them, private memory (heaps, decoders)
    double shmem = 0;    // of them, shared memory (the frames' blocks)
};

// Reads VmRSS, RssAnon and RssShmem of `pid`; false when the process is gone.
inline bool ReadMemory(pid_t pid, MemorySample& sample) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    bool found = false;
    for (std::string line; std::getline(status, line);) {
        auto field = [&](char const* name, double& to) {
            std::string const prefix = std::string(name) + ":";
            if (line.compare(0, prefix.size(), prefix) != 0) {
                return;
            }
            std::size_t start = line.find_first_not_of(" \t", prefix.size());
            std::size_t const end = line.find(' ', start);
            std::int64_t kib = 0;
            if (start != std::string::npos &&
                basekit::utility::ParseInteger(line.substr(start, end - start), kib)) {
                to = double(kib) / 1024;
                found = true;
            }
        };
        field("VmRSS", sample.rss);
        field("RssAnon", sample.anon);
        field("RssShmem", sample.shmem);
    }
    return found;
}

// The slope of the least-squares line through the samples from `from` (0 to 1, the share of the
// run left out at its start) to the end, in MiB per minute; 0 with fewer than two samples.
inline double SlopePerMinute(std::vector<MemorySample> const& samples, double from,
                             double MemorySample::*field = &MemorySample::rss) {
    if (samples.empty()) {
        return 0;
    }
    double const start = samples.back().minutes * from;
    double n = 0, sumX = 0, sumY = 0, sumXX = 0, sumXY = 0;
    for (MemorySample const& sample : samples) {
        if (sample.minutes < start) {
            continue;
        }
        double const y = sample.*field;
        n += 1;
        sumX += sample.minutes;
        sumY += y;
        sumXX += sample.minutes * sample.minutes;
        sumXY += sample.minutes * y;
    }
    double const spread = n * sumXX - sumX * sumX;
    return n < 2 || spread <= 0 ? 0 : (n * sumXY - sumX * sumY) / spread;
}

}  // namespace vireo::bench
