#pragma once
// What bench_scale prints at the end of a run.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "ScaleChildren.h"
#include "ScaleServer.h"

namespace vireo::bench {

inline void PrintResults(Variant const& inProcess, Variant const& library, int seconds, int movies,
                         int windows, MemorySample const& idle,
                         std::vector<MemorySample> const& memory) {
    std::printf(
        "bench_scale: %zu hosts x %d movies (1920x1080 H.264 as BGRA), %d s per variant in %d "
        "windows taken in turn\n",
        library.children.size(), movies, seconds, windows);
    std::printf("%-34s %9s %9s %10s %12s\n", "", "frames", "seconds", "frames/s", "CPU ms/frame");
    auto cpuPerFrame = [](Variant const& variant) {
        double cpu = double(variant.server.nanoseconds) / 1e9;
        for (double child : variant.cpu) {
            cpu += child;
        }
        return variant.frames > 0 ? 1000 * cpu / double(variant.frames) : 0;
    };
    for (Variant const* variant : {&inProcess, &library}) {
        std::printf("%-34s %9lld %9.1f %10.1f %12.2f\n", variant->name.c_str(),
                    static_cast<long long>(variant->frames), variant->seconds, variant->Rate(),
                    cpuPerFrame(*variant));
    }
    double const ratio = inProcess.Rate() > 0 ? 100 * library.Rate() / inProcess.Rate() : 0;
    std::printf("ratio library / in-process: %.1f%% (goal >= 90%%)\n", ratio);
    // On a machine shared with other work the frame rates follow the share of the processors
    // each variant gets; processor time per frame does not.
    double const cpuRatio =
        cpuPerFrame(library) > 0 ? 100 * cpuPerFrame(inProcess) / cpuPerFrame(library) : 0;
    std::printf("ratio by processor time per frame (in-process / library): %.1f%%\n", cpuRatio);
    std::printf(
        "checksums: every frame read agreed with the first reading of the same frame, and each "
        "movie's frames agree across all %zu readers\n",
        2 * library.children.size());

    if (!memory.empty()) {
        auto const peak = std::max_element(
            memory.begin(), memory.end(),
            [](MemorySample const& a, MemorySample const& b) { return a.rss < b.rss; });
        std::printf("server memory, MiB                  RSS    private   shared\n");
        auto line = [](char const* when, MemorySample const& sample) {
            std::printf("  %-30s %8.1f %9.1f %8.1f\n", when, sample.rss, sample.anon, sample.shmem);
        };
        line("before the hosts connected", idle);
        line("start of the first window", memory.front());
        line("peak", *peak);
        line("end", memory.back());
        std::printf(
            "  slope of RSS: %+.2f MiB/min over the window, %+.2f MiB/min over its second half "
            "(private: %+.2f, %+.2f; %zu samples, one a second) (goal: flat)\n",
            SlopePerMinute(memory, 0), SlopePerMinute(memory, 0.5),
            SlopePerMinute(memory, 0, &MemorySample::anon),
            SlopePerMinute(memory, 0.5, &MemorySample::anon), memory.size());
    }

    std::printf("processor time in the timed windows       seconds  of one processor\n");
    auto usage = [](std::string const& who, double cpu, double window) {
        std::printf("  %-38s %8.1f %8.0f%%\n", who.c_str(), cpu,
                    window > 0 ? 100 * cpu / window : 0);
    };
    for (Variant const* variant : {&inProcess, &library}) {
        for (std::size_t i = 0; i < variant->children.size(); ++i) {
            usage(i < variant->labels.size() ? variant->labels[i] : variant->name,
                  i < variant->cpu.size() ? variant->cpu[i] : 0, variant->seconds);
        }
        usage("server, during " + variant->name, double(variant->server.nanoseconds) / 1e9,
              variant->seconds);
    }
}

}  // namespace vireo::bench
