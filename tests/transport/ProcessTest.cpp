// A server in another process that dies: everything waiting on it hears of it at once.
#include <limits.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "TestSupport.h"
#include "basekit/threads/SyncPoint.h"

namespace vireo::test::transport {
namespace {

using namespace basekit::serialization;
using basetransport::SessionPtr;

// The test peer program, started from the directory of this test program.
class PeerProcess {
  public:
    explicit PeerProcess(std::string const& token) {
        char self[PATH_MAX] = {};
        ssize_t const n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        std::string path(self, n > 0 ? static_cast<std::size_t>(n) : 0);
        path = path.substr(0, path.rfind('/') + 1) + "transport_test_peer";
        int toChild[2];
        int fromChild[2];
        if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) {
            return;
        }
        std::vector<char*> argv{path.data(), const_cast<char*>(token.c_str()), nullptr};
        pid = ::fork();
        if (pid == 0) {
            ::dup2(toChild[0], 0);
            ::dup2(fromChild[1], 1);
            ::close(toChild[1]);
            ::close(fromChild[0]);
            ::execv(path.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        mInput = toChild[1];
        FILE* output = ::fdopen(fromChild[0], "r");
        unsigned value = 0;
        if (output != nullptr && std::fscanf(output, "%u", &value) == 1) {
            port = static_cast<std::uint16_t>(value);
        }
        if (output != nullptr) {
            std::fclose(output);
        }
    }
    ~PeerProcess() {
        if (mInput >= 0) {
            ::close(mInput);
        }
        if (pid > 0) {
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
    }

    pid_t pid = -1;
    std::uint16_t port = 0;

  private:
    int mInput = -1;
};

TEST(TransportProcess, KilledServerFailsEverySynchronousCallWithinASecond) {
    PeerProcess peer("peer-token");
    ASSERT_GT(peer.pid, 0);
    ASSERT_NE(peer.port, 0);
    auto transport = basetransport::SocketTransport::Create();
    transport->SetServerToken("127.0.0.1", peer.port, "peer-token");
    std::atomic<int> sessionsEnded{0};
    transport->AddSessionHandler([&](SessionPtr) {
        sessionsEnded.fetch_add(1);
        return 0;
    });
    SessionPtr session = transport->ClientStart("127.0.0.1", peer.port);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->GetPeerProcessID(), peer.pid);
    basemarshal::RPCClient client(session, u"test");
    ASSERT_EQ(Call(client, "Echo", VariantArray())->results, 1);

    // Eight callers, each blocked at a rendezvous on a call the server never answers.
    constexpr int kCallers = 8;
    std::atomic<int> started{0};
    std::atomic<int> failed{0};
    std::atomic<long> lastCode{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i) {
        callers.emplace_back([&] {
            basekit::threads::SyncPoint meet(2);
            client.SendRequest(
                BuildCall("Hold", VariantArray()),
                [&](VariantPtr const&, std::int64_t) { meet.Wait(); },
                [&](long code, std::u16string const&, std::int64_t) {
                    lastCode.store(code);
                    failed.fetch_add(1);
                    meet.Wait();
                },
                0);
            started.fetch_add(1);
            meet.Wait(ScaledMs(10000));
        });
    }
    ASSERT_TRUE(WaitUntil([&] { return started.load() == kCallers; }));
    // A round trip after them: the server has read every "Hold" when it answers this.
    ASSERT_EQ(Call(client, "Echo", VariantArray())->results, 1);
    auto const killed = Clock::now();
    ASSERT_EQ(::kill(peer.pid, SIGKILL), 0);
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_LT(Clock::now() - killed, Bound(Milliseconds(1000)));
    EXPECT_EQ(failed.load(), kCallers);
    EXPECT_EQ(lastCode.load(), basemarshal::kErrorSessionClosed);
    EXPECT_TRUE(session->IsClosed());
    EXPECT_TRUE(WaitUntil([&] { return sessionsEnded.load() == 1; }));
}

}  // namespace
}  // namespace vireo::test::transport
