// bench_shm_frame: an 8 MB video frame from a server process to this one, over a real session.
//
// Per frame: register a data notification whose start action sends the request; the server
// takes a frame from its pool (Pix::CreateSharedVideoFrame), writes its pixels, publishes it;
// this process is notified, wraps the frame without a copy, reads a few pixels and lets go.
// Printed beside a plain memcpy of the same 8 MB in the same run, with the ratio, and the
// segments created and mapped per 1000 frames after warm-up (goal 0).
//
//   bench_shm_frame [frames]        (default 1000)
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/json.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "Pix/Pix.h"
#include "basetransport/SocketTransport.h"
#include "crossprocess/CrossProcess.h"
#include "crossprocess/Stats.h"

extern char** environ;

namespace vireo::bench {
namespace {

namespace json = boost::json;
using basekit::utility::Guid;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kWidth = 1920;
constexpr std::uint32_t kHeight = 1080;  // BGRA: 8,294,400 bytes of pixels
constexpr int kWarmup = 20;

void Send(basetransport::SessionPtr const& session, const char* method, json::object params) {
    session->SendMessage(json::object{{"jsonrpc", "2.0"}, {"method", method}, {"params", params}});
}

// ---- Server ------------------------------------------------------------------------------------

std::mutex gServeMutex;
std::condition_variable gServeDone;
bool gServeExit = false;

void Serve(basetransport::SessionPtr const& session, json::object& message) {
    std::string const method = message["method"].as_string().c_str();
    json::object const& params = message["params"].as_object();
    if (method == "bench.want") {
        Guid const id(params.at("id").as_string().c_str());
        bool const full = params.at("full").as_bool();
        auto const n = static_cast<unsigned char>(params.at("n").to_number<std::uint64_t>());
        crossprocess::WritableBinaryReferencePtr block;
        auto frame = Pix::CreateSharedVideoFrame(kWidth, kHeight, Kino::kPixelFormat_BGRA, 0,
                                                 {1, 1}, Kino::kFieldOrder_Progressive, block);
        if (!frame) {
            crossprocess::PublishFailureToSession(session, id, crossprocess::kStatusFailed);
            return;
        }
        auto* pixels = static_cast<unsigned char*>(frame->GetMutablePixels());
        std::uint64_t const size = frame->GetDataSize();
        if (full) {
            std::memset(pixels, n, size);  // what a converter writing its output would cost
        } else {
            pixels[0] = n;
            pixels[size - 1] = n;
        }
        crossprocess::PublishToSession(session, id, block, block->GetSize());
    } else if (method == "bench.stats") {
        Send(session, "bench.stats",
             {{"segmentsCreated", crossprocess::GetStats().segmentsCreated}});
    } else if (method == "bench.exit") {
        std::lock_guard<std::mutex> lock(gServeMutex);
        gServeExit = true;
        gServeDone.notify_all();
    }
}

int RunServer(std::string const& token) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    crossprocess::InitializeClient();
    auto transport = basetransport::SocketTransport::Create();
    std::uint16_t const port = transport->Listen(
        0, token, [](basetransport::SessionPtr session) { session->SetMessageHandler(&Serve); });
    std::printf("PORT %u\n", static_cast<unsigned>(port));
    std::fflush(stdout);
    std::unique_lock<std::mutex> lock(gServeMutex);
    gServeDone.wait(lock, [] { return gServeExit; });
    lock.unlock();
    transport->Shutdown();
    crossprocess::UninitializeClient();
    return 0;
}

// ---- Client ------------------------------------------------------------------------------------

struct Inbox {
    std::mutex mutex;
    std::condition_variable arrived;
    bool frameDone = false;
    long status = 1;
    crossprocess::BinaryReferencePtr ref;
    std::int64_t serverSegments = -1;
};

// One frame: register, request, wait for the data, wrap, read two pixels, let go.
bool OneFrame(basetransport::SessionPtr const& session, Inbox& inbox, bool full, int n) {
    Guid const id = Guid::CreateUnique();
    {
        std::lock_guard<std::mutex> lock(inbox.mutex);
        inbox.frameDone = false;
    }
    Inbox* box = &inbox;
    long const registered = crossprocess::GetBinaryDataWithAsyncNotification(
        id,
        [box](Guid const&, crossprocess::BinaryReferencePtr ref, long status) {
            std::lock_guard<std::mutex> lock(box->mutex);
            box->ref = std::move(ref);
            box->status = status;
            box->frameDone = true;
            box->arrived.notify_all();
        },
        [&] {
            Send(session, "bench.want", {{"id", id.AsUTF8String()}, {"full", full}, {"n", n}});
        });
    if (registered != 0) {
        return false;
    }
    crossprocess::BinaryReferencePtr ref;
    {
        std::unique_lock<std::mutex> lock(inbox.mutex);
        if (!inbox.arrived.wait_for(lock, std::chrono::seconds(10),
                                    [&] { return inbox.frameDone; }) ||
            inbox.status != 0) {
            return false;
        }
        ref.swap(inbox.ref);
    }
    InterfaceRef<Kino::IVideoFrame> frame;
    if (Pix::WrapVideoFrameAroundBinaryReference(ref, id, frame) != 0) {
        return false;
    }
    auto const* pixels = static_cast<const unsigned char*>(frame->GetPixels());
    auto const expected = static_cast<unsigned char>(n);
    return pixels[0] == expected && pixels[frame->GetDataSize() - 1] == expected;
}

std::int64_t ServerSegments(basetransport::SessionPtr const& session, Inbox& inbox) {
    {
        std::lock_guard<std::mutex> lock(inbox.mutex);
        inbox.serverSegments = -1;
    }
    Send(session, "bench.stats", {});
    std::unique_lock<std::mutex> lock(inbox.mutex);
    inbox.arrived.wait_for(lock, std::chrono::seconds(5),
                           [&] { return inbox.serverSegments >= 0; });
    return inbox.serverSegments;
}

double MedianMicros(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

int RunClient(int frames) {
    std::string const token = Guid::CreateUnique().AsUTF8String();
    char self[4096];
    ssize_t const length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) {
        return 1;
    }
    self[length] = '\0';
    int fds[2];
    if (pipe(fds) != 0) {
        return 1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<char*> argv = {self, const_cast<char*>("--serve"), const_cast<char*>(token.c_str()),
                               nullptr};
    pid_t server = -1;
    if (posix_spawn(&server, self, &actions, nullptr, argv.data(), environ) != 0) {
        return 1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    char line[64] = {};
    pollfd pfd{fds[0], POLLIN, 0};
    unsigned port = 0;
    if (poll(&pfd, 1, 10000) <= 0 || read(fds[0], line, sizeof(line) - 1) <= 0 ||
        std::sscanf(line, "PORT %u", &port) != 1 || port == 0) {
        std::fprintf(stderr, "bench_shm_frame: the server did not start\n");
        kill(server, SIGKILL);
        return 1;
    }
    close(fds[0]);

    crossprocess::InitializeClient();
    auto transport = basetransport::SocketTransport::Create();
    transport->SetServerToken("127.0.0.1", static_cast<std::uint16_t>(port), token);
    basetransport::SessionPtr session =
        transport->ClientStart("127.0.0.1", static_cast<std::uint16_t>(port));
    if (!session) {
        std::fprintf(stderr, "bench_shm_frame: no session\n");
        kill(server, SIGKILL);
        return 1;
    }
    Inbox inbox;
    session->SetMessageHandler([&inbox](basetransport::SessionPtr const&, json::object& message) {
        if (message["method"].as_string() == "bench.stats") {
            std::lock_guard<std::mutex> lock(inbox.mutex);
            inbox.serverSegments =
                message["params"].as_object()["segmentsCreated"].to_number<std::int64_t>();
            inbox.arrived.notify_all();
        }
    });

    // memcpy of the same size, between two warm buffers.
    std::uint64_t const bytes = std::uint64_t{kWidth} * kHeight * 4;
    std::vector<unsigned char> from(bytes, 1);
    std::vector<unsigned char> to(bytes, 2);
    std::vector<double> copyTimes;
    for (int i = 0; i < 50; ++i) {
        from[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i);
        auto const start = Clock::now();
        std::memcpy(to.data(), from.data(), bytes);
        copyTimes.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    double const copyMicros = MedianMicros(copyTimes);

    bool ok = true;
    auto runFrames = [&](bool full, int count, std::vector<double>* times) {
        for (int i = 0; i < count && ok; ++i) {
            auto const start = Clock::now();
            ok = OneFrame(session, inbox, full, i);
            if (times) {
                times->push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            }
        }
    };
    runFrames(true, kWarmup, nullptr);
    runFrames(false, kWarmup, nullptr);
    std::int64_t const serverBefore = ServerSegments(session, inbox);
    std::uint64_t const mappedBefore = crossprocess::GetStats().segmentsMapped;
    std::vector<double> fullTimes;
    std::vector<double> touchTimes;
    runFrames(true, frames, &fullTimes);
    runFrames(false, frames, &touchTimes);
    std::int64_t const serverAfter = ServerSegments(session, inbox);
    std::uint64_t const mappedAfter = crossprocess::GetStats().segmentsMapped;

    Send(session, "bench.exit", {});
    waitpid(server, nullptr, 0);
    transport->Shutdown();
    crossprocess::UninitializeClient();
    if (!ok) {
        std::fprintf(stderr, "bench_shm_frame: a frame failed\n");
        return 1;
    }
    double const fullMicros = MedianMicros(fullTimes);
    double const touchMicros = MedianMicros(touchTimes);
    double const per1000 = 1000.0 / (2.0 * frames);
    std::printf("frame: %ux%u BGRA, %.1f MB, %d frames per run after %d warm-up frames\n", kWidth,
                kHeight, bytes / 1e6, frames, kWarmup);
    std::printf("memcpy 8 MB:                                 %9.1f us (median)\n", copyMicros);
    std::printf("publish+notify+wrap, server writes pixels:   %9.1f us (median)  = %.2f x memcpy\n",
                fullMicros, fullMicros / copyMicros);
    std::printf("publish+notify+wrap, pixels untouched:       %9.1f us (median)  = %.2f x memcpy\n",
                touchMicros, touchMicros / copyMicros);
    std::printf("new segments per 1000 frames after warm-up:  server %.1f, client mappings %.1f\n",
                static_cast<double>(serverAfter - serverBefore) * per1000,
                static_cast<double>(mappedAfter - mappedBefore) * per1000);
    return 0;
}

}  // namespace
}  // namespace vireo::bench

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--serve") == 0) {
        return vireo::bench::RunServer(argv[2]);
    }
    int const frames = argc >= 2 ? std::max(1, std::atoi(argv[1])) : 1000;
    return vireo::bench::RunClient(frames);
}
