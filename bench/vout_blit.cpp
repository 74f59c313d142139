// bench_vout_blit: 1080p BGRA frames blitted to the capture output through the bridge (the
// library, a real server process, frames shared through shared memory), beside blitting the
// same frames to the same output in-process and writing the same bytes with plain write()
// calls, all in the same run.
//
// Each pass writes `frames` frames (8,294,400 bytes of pixels each) as one run: BeginBlitting
// with the first, BlitFrame for the rest, EndBlitting; the reference pass writes the same frame
// bytes (and a 64-byte header per frame) to a fresh file. The variants alternate, their order
// rotating from pass to pass, and their files are removed at once, so that the page cache is
// in the same state for each. Prints, per variant, the median rate over the passes in frames
// per second, the median time of one blit (for the bridge: the round trip of the call, answered
// once the server has written the frame), and the ratios of the rates.
//
// The server is started for this run with a private registry, lock and capture directory, so
// a server the user already runs is never used.
//
//   bench_vout_blit [frames per pass=30] [passes=10] [directory=$TMPDIR or /tmp]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

#include "Pix/Pix.h"
#include "VireoClient/VireoClient.h"
#include "basekit/utility/Parse.h"
#include "basekit/utility/Text.h"
#include "vout/VideoOutputs.h"

namespace vireo::bench {
namespace {

namespace vout = vireo::server::vout;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kWidth = 1920;
constexpr std::uint32_t kHeight = 1080;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void RemoveTree(std::string const& dir) {
    std::string const command = "rm -rf '" + dir + "'";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "cannot remove %s\n", dir.c_str());
    }
}

// Removes the capture files of `dir`.
void RemoveCaptures(std::string const& dir) {
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* entry = ::readdir(d)) {
            std::string const name = entry->d_name;
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".vcap") == 0) {
                ::unlink((dir + "/" + name).c_str());
            }
        }
        ::closedir(d);
    }
}

}  // namespace
}  // namespace vireo::bench

int main(int argc, char** argv) {
    using namespace vireo::bench;
    std::int64_t frames = 30;
    std::int64_t passes = 10;
    if ((argc > 1 && !basekit::utility::ParseInteger(argv[1], frames)) ||
        (argc > 2 && !basekit::utility::ParseInteger(argv[2], passes)) || frames < 2 ||
        passes < 1) {
        std::fprintf(stderr, "usage: bench_vout_blit [frames>=2] [passes>=1] [directory]\n");
        return 2;
    }
    char const* tmp = std::getenv("TMPDIR");
    std::string base = argc > 3 ? argv[3] : (tmp != nullptr && *tmp ? tmp : "/tmp");
    std::string templ = base + "/vireo-bench-vout-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string const dir = templ;

    // Four different frames, so that no pass writes one buffer again and again.
    // They live in shared blocks from the start, as a host's frames made for output would: the
    // bridge then publishes them without a copy.
    std::vector<InterfaceRef<Kino::IVideoFrame>> source;
    std::vector<crossprocess::WritableBinaryReferencePtr> blocks(4);
    for (int i = 0; i < 4; ++i) {
        InterfaceRef<Kino::IWritableVideoFrame> frame = Pix::CreateSharedVideoFrame(
            kWidth, kHeight, Kino::kPixelFormat_BGRA, 0, {1, 1}, Kino::kFieldOrder_Progressive,
            blocks[static_cast<std::size_t>(i)]);
        if (!frame) {
            std::fprintf(stderr, "cannot make a shared frame\n");
            RemoveTree(dir);
            return 1;
        }
        auto* bytes = static_cast<std::uint8_t*>(frame->GetMutablePixels());
        std::size_t const size = static_cast<std::size_t>(frame->GetRowBytes()) * kHeight;
        for (std::size_t j = 0; j < size; ++j) {
            bytes[j] = static_cast<std::uint8_t>(j * 7 + i);
        }
        source.emplace_back(frame.get());
    }
    std::size_t const frameBytes = static_cast<std::size_t>(source[0]->GetRowBytes()) * kHeight;

    vout::Settings settings;
    settings.lockDirectory = dir + "/locks";
    settings.captureDirectory = dir + "/captures";
    settings.useDisplays = false;
    vout::VideoOutputs outputs(settings);
    vout::UseComponentData request;
    request.mQTComponentDescription.mQTComponentDesc_componentSubType = 0x63617074;  // 'capt'
    request.mQTAtomIDForDisplayMode = 1;
    request.mApplicationName = "bench";
    if (outputs.BeginUsingComponent(1, request).mVOutOperationResult.mOperationResult != 0) {
        std::fprintf(stderr, "cannot take the capture output\n");
        RemoveTree(dir);
        return 1;
    }

    // The bridge: the server inherits these from the library's process when it is started.
    std::string const registry = dir + "/registry";
    std::string const runtime = dir + "/runtime";
    std::string const bridgeCaptures = dir + "/bridge-captures";
    ::mkdir(registry.c_str(), 0700);
    ::mkdir(runtime.c_str(), 0700);
    ::setenv("CORVIDHOST_REGISTRY_DIR", registry.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("VIREO_VOUT_CAPTURE_DIR", bridgeCaptures.c_str(), 1);
    auto client = VireoClient::Create();
    VireoServer::QTVOutUseComponentData use;
    use.mQTComponentDescription.mQTComponentDesc_componentSubType = 0x63617074;  // 'capt'
    use.mQTAtomIDForDisplayMode = 1;
    use.mApplicationName = u"bench";
    use.mVOutOperationResult.mOperationResult = -1;
    if (client) {
        client->QTVOutBeginUsingComponent(use);
    }
    if (use.mVOutOperationResult.mOperationResult != 0) {
        std::fprintf(stderr, "cannot take the capture output through the bridge (%d)\n",
                     int(use.mVOutOperationResult.mOperationResult));
        outputs.EndUsingComponent(1);
        RemoveTree(dir);
        return 1;
    }

    std::vector<double> bridgeRates;
    std::vector<double> roundTrips;
    std::vector<double> ourRates;
    std::vector<double> referenceRates;
    std::vector<double> blitTimes;
    bool ok = true;
    // One run of blits into one capture file, removed at once.
    auto const runOurs = [&] {
        Clock::time_point const start = Clock::now();
        for (std::int64_t i = 0; i < frames && ok; ++i) {
            Clock::time_point const before = Clock::now();
            auto const& frame = source[static_cast<std::size_t>(i) % source.size()];
            vout::OperationResult const result =
                i == 0 ? outputs.BeginBlitting(1, frame) : outputs.BlitFrame(1, frame);
            blitTimes.push_back(Seconds(Clock::now() - before) * 1000.0);
            ok = result.mOperationResult == 0;
        }
        ok = ok && outputs.EndBlitting(1).mOperationResult == 0;
        ourRates.push_back(static_cast<double>(frames) / Seconds(Clock::now() - start));
        ::unlink(outputs.CaptureFilePath(1).c_str());
    };
    // The same frames through the library and the server, into one capture file of the server.
    auto const runBridge = [&] {
        Clock::time_point const start = Clock::now();
        VireoServer::QTVOutOperationResult result;
        for (std::int64_t i = 0; i < frames && ok; ++i) {
            Clock::time_point const before = Clock::now();
            auto const& frame = source[static_cast<std::size_t>(i) % source.size()];
            if (i == 0) {
                client->QTVOutBeginBlitting(frame, result);
            } else {
                client->QTVOutBlitFrame(frame, result);
            }
            roundTrips.push_back(Seconds(Clock::now() - before) * 1000.0);
            ok = result.mOperationResult == 0;
        }
        client->QTVOutEndBlitting(result);
        ok = ok && result.mOperationResult == 0;
        bridgeRates.push_back(static_cast<double>(frames) / Seconds(Clock::now() - start));
        RemoveCaptures(bridgeCaptures);
    };
    // The same bytes with plain write() calls into a fresh file, removed at once.
    auto const runReference = [&] {
        std::string const referencePath = dir + "/reference.raw";
        Clock::time_point const start = Clock::now();
        int const fd =
            ::open(referencePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        char header[64] = {};
        ok = ok && fd >= 0;
        for (std::int64_t i = 0; i < frames && ok; ++i) {
            auto const* bytes = static_cast<char const*>(
                source[static_cast<std::size_t>(i) % source.size()]->GetPixels());
            ok = ::write(fd, header, sizeof header) == static_cast<ssize_t>(sizeof header);
            std::size_t done = 0;
            while (ok && done < frameBytes) {
                ssize_t const n = ::write(fd, bytes + done, frameBytes - done);
                ok = n > 0;
                done += n > 0 ? static_cast<std::size_t>(n) : 0;
            }
        }
        ok = ok && ::close(fd) == 0;
        referenceRates.push_back(static_cast<double>(frames) / Seconds(Clock::now() - start));
        ::unlink(referencePath.c_str());
    };
    // The order rotates from pass to pass: the system's write-back of the pass before weighs on
    // whichever comes first.
    std::function<void()> const variants[3] = {runOurs, runBridge, runReference};
    for (std::int64_t pass = 0; pass < passes && ok; ++pass) {
        for (int k = 0; k < 3 && ok; ++k) {
            variants[(pass + k) % 3]();
        }
    }
    outputs.EndUsingComponent(1);
    VireoServer::QTVOutOperationResult given;
    client->QTVOutEndUsingComponent(given);
    client.reset();
    RemoveTree(dir);
    if (!ok) {
        std::fprintf(stderr, "a blit or a write failed\n");
        return 1;
    }
    double const ours = Median(ourRates);
    double const reference = Median(referenceRates);
    std::printf("1080p BGRA frames (%zu bytes) to the capture output, %lld frames x %lld passes\n",
                frameBytes, static_cast<long long>(frames), static_cast<long long>(passes));
    std::printf("  capture output (in-process)   %8.1f frames/s   blit median %.3f ms\n", ours,
                Median(blitTimes));
    double const bridge = Median(bridgeRates);
    std::printf("  capture output (bridge)       %8.1f frames/s   round trip median %.3f ms\n",
                bridge, Median(roundTrips));
    std::printf("  plain write() of the same     %8.1f frames/s\n", reference);
    std::printf("  ratio in-process / write()    %8.3f\n", reference > 0 ? ours / reference : 0.0);
    std::printf("  ratio bridge / in-process     %8.3f\n", ours > 0 ? bridge / ours : 0.0);
    return 0;
}
