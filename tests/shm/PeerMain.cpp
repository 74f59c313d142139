// shm_peer: the other process of the shared-data tests.
//
//   shm_peer --token T          listens on 127.0.0.1, prints "PORT <port> PID <pid>", and obeys
//                               "test.<verb>" messages of its session (see Handle below)
//   shm_peer --leak N           creates N blocks, prints "READY" and kills itself, leaving them
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Pattern.h"
#include "Pix/Pix.h"
#include "Segment.h"
#include "basetransport/SocketTransport.h"
#include "crossprocess/CrossProcess.h"
#include "crossprocess/Stats.h"

namespace json = boost::json;
using basekit::utility::Guid;
using basetransport::SessionPtr;

namespace vireo::test::shm {
namespace {

struct PeerState {
    std::mutex mutex;
    std::condition_variable exitRequested;
    bool exiting = false;
    std::map<Guid, crossprocess::WritableBinaryReferencePtr> shares;  // shared under the id
    std::map<Guid, crossprocess::BinaryReferencePtr> received;        // as a reader
    std::vector<std::string> rawSegments;
};
PeerState gState;

// A number parameter; a negative one keeps its bits.
std::uint64_t U64(json::object const& p, const char* key) {
    auto const* v = p.if_contains(key);
    return v && v->is_int64()    ? static_cast<std::uint64_t>(v->get_int64())
           : v && v->is_uint64() ? v->get_uint64()
                                 : 0;
}

std::string Str(json::object const& p, const char* key) {
    auto const* v = p.if_contains(key);
    return v && v->is_string() ? std::string(v->get_string().c_str()) : std::string();
}

Guid Id(json::object const& p) {
    return Guid(Str(p, "id").c_str());
}

void Send(SessionPtr const& session, const char* method, json::object params) {
    session->SendMessage(json::object{{"jsonrpc", "2.0"}, {"method", method}, {"params", params}});
}

void Reply(SessionPtr const& session, json::object const& command, json::object result) {
    result["seq"] = U64(command, "seq");
    Send(session, "test.reply", std::move(result));
}

// A segment made by hand, valid except for the field named by `field`, announced as published
// under `id` with a made-up pub number.
void PublishCorrupt(SessionPtr const& session, Guid const& id, std::string const& field) {
    using namespace crossprocess::detail;
    std::uint8_t random[16];
    std::memcpy(random, Guid::CreateUnique().GetBytes().data(), sizeof(random));
    std::string name = MakeSegmentName(getpid(), random);
    std::uint64_t const capacity = 65536;
    {
        std::lock_guard<std::mutex> lock(gState.mutex);
        gState.rawSegments.push_back(name);
    }
    if (field == "fifo") {
        // Opening a FIFO for reading waits for a writer: a reader must never try.
        mkfifo(("/dev/shm" + name).c_str(), 0600);
    }
    int fd = field == "fifo" ? -1 : shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    if (fd >= 0) {
        if (field == "mode") {
            fchmod(fd, 0644);
        }
        // What the header names is reserved in full; "sparse" and "bigFile" make the segment
        // much larger than that (the first with holes), "truncated" smaller.
        std::uint64_t const named = kBlockHeaderSize + capacity;
        std::uint64_t const length = field == "truncated" ? 32
                                     : field == "sparse"  ? (std::uint64_t{1} << 30)
                                     : field == "bigFile" ? (std::uint64_t{8} << 20)
                                                          : named;
        bool const sized = field == "sparse"
                               ? ftruncate(fd, static_cast<off_t>(length)) == 0 &&
                                     posix_fallocate(fd, 0, static_cast<off_t>(named)) == 0
                               : posix_fallocate(fd, 0, static_cast<off_t>(length)) == 0;
        if (!sized) {
            close(fd);
            return;
        }
    }
    BlockHeader header{};
    header.magic = field == "magic" ? 0xDEADBEEFu : kBlockMagic;
    header.version = field == "version" ? kBlockVersion + 1 : kBlockVersion;
    header.headerSize = field == "headerSmall"   ? 32
                        : field == "headerLarge" ? (1u << 20)
                        : field == "headerOdd"   ? kBlockHeaderSize + 4
                        : field == "headerHuge"  ? 0xFFFFFFC0u
                                                 : kBlockHeaderSize;
    header.flags = field == "flags" ? 1 : 0;
    header.capacity = field == "capacity"            ? (std::uint64_t{1} << 30)
                      : field == "capacityOverLimit" ? kMaxBlockCapacity + 4096
                      : field == "capacityWraps"     ? UINT64_MAX - 100
                                                     : capacity;
    header.ownerPid = field == "ownerPid" ? 1 : getpid();
    if (fd >= 0) {
        if (field != "truncated" && pwrite(fd, &header, sizeof(header), 0) != sizeof(header)) {
            close(fd);
            return;
        }
        close(fd);
    }

    json::object params{{"id", id.AsUTF8String()},
                        {"block", name},
                        {"offset", kBlockHeaderSize},
                        {"size", 1024},
                        {"pub", 999999}};
    if (field == "offsetInHeader") {
        params["offset"] = 0;
    } else if (field == "pastEnd") {
        params["offset"] = kBlockHeaderSize + capacity - 10;
        params["size"] = 100;
    } else if (field == "sizeOverflow") {
        params["size"] = UINT64_MAX;
    } else if (field == "offsetOverflow") {
        params["offset"] = UINT64_MAX - 10;
        params["size"] = 100;
    } else if (field == "namePid") {
        params["block"] = MakeSegmentName(1, random);
    } else if (field == "nameBad") {
        params["block"] = "/../../etc/passwd";
    } else if (field == "missing") {
        params.erase("offset");
    } else if (field == "negativeSize") {
        params["size"] = -5;
    } else if (field == "absent") {
        std::uint8_t other[16];
        std::memcpy(other, Guid::CreateUnique().GetBytes().data(), sizeof(other));
        params["block"] = MakeSegmentName(getpid(), other);
    }
    Send(session, "crossprocess.published", std::move(params));
}

void Want(SessionPtr const& session, json::object const& p) {
    Guid const id = Id(p);
    std::string const mode = Str(p, "mode");
    std::uint64_t const size = U64(p, "size");
    std::uint64_t const seed = U64(p, "seed");
    if (mode == "data") {
        auto ref = crossprocess::CreateWritableReference(size);
        if (!ref) {
            crossprocess::PublishFailureToSession(session, id, crossprocess::kStatusFailed);
            return;
        }
        FillPattern(ref->GetData(), size, seed);
        crossprocess::PublishToSession(session, id, ref, size);
    } else if (mode == "frame") {
        crossprocess::WritableBinaryReferencePtr block;
        auto frame = Pix::CreateSharedVideoFrame(
            static_cast<std::uint32_t>(U64(p, "width")),
            static_cast<std::uint32_t>(U64(p, "height")), Kino::kPixelFormat_BGRA, 0,
            basemediatypes::PixelAspectRatio(1, 1), Kino::kFieldOrder_Progressive, block);
        if (!frame) {
            crossprocess::PublishFailureToSession(session, id, crossprocess::kStatusFailed);
            return;
        }
        FillPattern(frame->GetMutablePixels(), frame->GetDataSize(), seed);
        crossprocess::PublishToSession(session, id, block, block->GetSize());
    } else if (mode == "fail") {
        crossprocess::PublishFailureToSession(session, id, static_cast<long>(U64(p, "status")));
    } else if (mode == "rawfail") {  // as a hostile peer would send it, unchecked
        Send(session, "crossprocess.failed",
             {{"id", id.AsUTF8String()}, {"status", static_cast<std::int64_t>(U64(p, "status"))}});
    } else if (mode == "corrupt") {
        PublishCorrupt(session, id, Str(p, "field"));
    }
}

json::object StatsObject() {
    crossprocess::Stats const s = crossprocess::GetStats();
    return json::object{{"segmentsCreated", s.segmentsCreated}, {"blocksLeased", s.blocksLeased}};
}

void Handle(SessionPtr const& session, json::object& message) {
    auto const* method = message.if_contains("method");
    auto const* paramsValue = message.if_contains("params");
    if (!method || !method->is_string() || !paramsValue || !paramsValue->is_object()) {
        return;
    }
    std::string const verb = method->get_string().c_str();
    json::object const& p = paramsValue->get_object();
    Guid const id = Id(p);

    if (verb == "test.want") {
        Want(session, p);
    } else if (verb == "test.stats") {
        Reply(session, p, StatsObject());
    } else if (verb == "test.share" || verb == "test.shareframe") {
        crossprocess::WritableBinaryReferencePtr ref;
        long result = -1;
        if (verb == "test.share") {
            std::uint64_t const size = U64(p, "size");
            ref = crossprocess::CreateWritableReference(size);
            if (ref) {
                FillPattern(ref->GetData(), size, U64(p, "seed"));
                result = crossprocess::Share(id, ref, size);
            }
        } else {
            auto frame = Pix::CreateVideoFrame(static_cast<std::uint32_t>(U64(p, "width")),
                                               static_cast<std::uint32_t>(U64(p, "height")),
                                               Kino::kPixelFormat_BGRA, 0, {}, 0);
            FillPattern(frame->GetMutablePixels(), frame->GetDataSize(), U64(p, "seed"));
            result = Pix::PublishVideoFrameProvidingReference(
                InterfaceRef<Kino::IVideoFrame>(frame), id, ref);
        }
        if (result == 0) {
            std::lock_guard<std::mutex> lock(gState.mutex);
            gState.shares[id] = ref;
        }
        Reply(session, p, {{"result", result}});
    } else if (verb == "test.unshare") {
        crossprocess::WritableBinaryReferencePtr ref;
        {
            std::lock_guard<std::mutex> lock(gState.mutex);
            ref = gState.shares[id];
            gState.shares.erase(id);
        }
        ref.reset();
        Reply(session, p, {});
    } else if (verb == "test.open") {
        auto ref = crossprocess::OpenPublishedData(session, id);
        json::object result{{"found", bool(ref)}};
        if (ref) {
            result["size"] = ref->GetSize();
            const void* data = ref->GetData();
            result["match"] = CheckPattern(data, ref->GetSize(), U64(p, "seed"));
            ref->ReleaseData(data);
        }
        Reply(session, p, std::move(result));
    } else if (verb == "test.openframe") {
        InterfaceRef<Kino::IVideoFrame> frame;
        int const result = Pix::OpenVideoFrame(session, id, frame);
        json::object answer{{"result", result}};
        if (frame) {
            answer["match"] =
                CheckPattern(frame->GetPixels(), frame->GetDataSize(), U64(p, "seed"));
        }
        Reply(session, p, std::move(answer));
    } else if (verb == "test.request") {
        // Acts as the reader: asks the test process for data and keeps what arrives.
        boost::weak_ptr<basetransport::Session> weak = session;
        std::uint64_t const seed = U64(p, "seed");
        long const result = crossprocess::GetBinaryDataWithAsyncNotification(
            id,
            [weak, seed](Guid const& got, crossprocess::BinaryReferencePtr ref, long status) {
                bool match = false;
                if (ref) {
                    const void* data = ref->GetData();
                    match = CheckPattern(data, ref->GetSize(), seed);
                    std::lock_guard<std::mutex> lock(gState.mutex);
                    gState.received[got] = ref;
                }
                if (auto s = weak.lock()) {
                    Send(s, "test.got",
                         {{"id", got.AsUTF8String()}, {"status", status}, {"match", match}});
                }
            },
            [session, p] { Send(session, "test.want", p); });
        Reply(session, p, {{"result", result}});
    } else if (verb == "test.drop") {  // lets go of what a "request" received
        crossprocess::BinaryReferencePtr ref;
        {
            std::lock_guard<std::mutex> lock(gState.mutex);
            ref = gState.received[id];
            gState.received.erase(id);
        }
        ref.reset();
        Reply(session, p, {});
    } else if (verb == "test.trim") {
        crossprocess::TrimIdleBlocks();
        Reply(session, p, {});
    } else if (verb == "test.exit") {
        Reply(session, p, {});
        std::lock_guard<std::mutex> lock(gState.mutex);
        gState.exiting = true;
        gState.exitRequested.notify_all();
    }
}

}  // namespace
}  // namespace vireo::test::shm

int main(int argc, char** argv) {
    using namespace vireo::test::shm;
    // Never outlive the test that started us.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::string token = "token";
    long leak = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--token") == 0) {
            token = argv[i + 1];
        } else if (std::strcmp(argv[i], "--leak") == 0) {
            leak = std::strtol(argv[i + 1], nullptr, 10);
        }
    }
    if (leak >= 0) {
        std::vector<crossprocess::WritableBinaryReferencePtr> blocks;
        for (long i = 0; i < leak; ++i) {
            blocks.push_back(crossprocess::CreateWritableReference(100000));
        }
        std::printf("READY\n");
        std::fflush(stdout);
        raise(SIGKILL);
    }

    crossprocess::InitializeClient();
    auto transport = basetransport::SocketTransport::Create();
    std::uint16_t const port = transport->Listen(
        0, token, [](SessionPtr session) { session->SetMessageHandler(&Handle); });
    std::printf("PORT %u PID %d\n", static_cast<unsigned>(port), static_cast<int>(getpid()));
    std::fflush(stdout);
    if (port == 0) {
        return 1;
    }
    {
        std::unique_lock<std::mutex> lock(gState.mutex);
        gState.exitRequested.wait(lock, [] { return gState.exiting; });
    }
    transport->Shutdown();
    {
        std::lock_guard<std::mutex> lock(gState.mutex);
        gState.shares.clear();
        gState.received.clear();
        for (auto const& name : gState.rawSegments) {
            shm_unlink(name.c_str());
        }
    }
    crossprocess::UninitializeClient();
    return 0;
}
