// Faults: a server killed while callers wait, a client process killed under its private server.
#include <signal.h>

#include <atomic>
#include <thread>

#include "ChildProcess.h"
#include "Kino/VideoFrame.h"
#include "LibraryFixture.h"
#include "TimeScale.h"

namespace vireo::test::library {
namespace {

TEST_F(LibraryTest, KilledServerReleasesEveryWaitingCallerAndTheNextAttemptStartsAnother) {
    UseScript(ConnectingScript(R"("GetQuicktimeCodecName": {"stall": true})"));
    ClientRef client = VireoClient::Create();
    ASSERT_TRUE(client->IsQuicktimeAvailable());
    std::vector<pid_t> const servers = Servers();
    ASSERT_EQ(servers.size(), 1u);

    constexpr int kThreads = 8;
    std::atomic<int> returned{0};
    std::vector<basekit::UTF16String> names(kThreads, u"before");
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            client->GetQuicktimeCodecName(0x41000000u + static_cast<std::uint32_t>(i), names[i]);
            ++returned;
        });
    }
    ASSERT_TRUE(WaitForLogCount("GetQuicktimeCodecName", kThreads));
    EXPECT_EQ(returned.load(), 0);

    auto const killed = std::chrono::steady_clock::now();
    kill(servers[0], SIGKILL);
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - killed, vireo::test::Scaled(1000ms));
    for (auto const& name : names) {
        EXPECT_EQ(name, u"before");  // an error answer leaves the caller's string as it was
    }

    // The next initialisation finds no live server and starts a new one. (It waits until the old
    // process is gone: while the kernel is still tearing it down, its entry can look alive and
    // that one attempt fail, as any attempt can fail; the test is about the next server.)
    ASSERT_TRUE(vireo::test::WaitForProcessExit(servers[0], vireo::test::Scaled(2000ms)));
    auto manager = VireoClient::CreateServerManagerInstance();
    EXPECT_EQ(manager->InitializeClient(false), 0);
    std::vector<pid_t> const after = Servers();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(after[0], servers[0]);
    manager->UninitializeClient();
}

TEST_F(LibraryTest, KilledServerCompletesFrameAndAudioRequestsOnce) {
    UseScript(ConnectingScript(R"("GetMovieVideo": {"result": {"value": 0}},
                                  "GetMovieAudio": {"stall": true},
                                  "QuietMovie": {"stall": true})"));
    ClientRef client = VireoClient::Create();
    std::vector<pid_t> const servers = Servers();
    ASSERT_EQ(servers.size(), 1u);
    basekit::utility::Guid const movie = basekit::utility::Guid::CreateUnique();

    // Accepted, but the data never comes: the frame request fails when the server dies.
    std::atomic<int> frameCalls{0};
    std::atomic<long> frameResult{1};
    ASSERT_TRUE(client->GetMovieVideo(
        movie, 0, VireoServer::PixelFormat(Kino::kPixelFormat_BGRA, 0), 0, 0,
        [&](InterfaceRef<Kino::IVideoFrame> const& frame, long result) {
            EXPECT_FALSE(frame);
            frameResult = result;
            ++frameCalls;
        },
        basekit::utility::Guid::CreateUnique()));
    // Both the RPC error and the shared-data layer report the end of the session for an audio
    // request that is still waiting; the caller hears of it once.
    std::atomic<int> audioCalls{0};
    ASSERT_TRUE(client->GetMovieAudio(movie, [&](long count, float const* data) {
        EXPECT_EQ(count, 0);
        EXPECT_EQ(data, nullptr);
        ++audioCalls;
    }));
    std::atomic<int> quietCalls{0};
    client->QuietMovie(movie, [&] { ++quietCalls; });
    ASSERT_TRUE(WaitForLogCount("QuietMovie", 1));
    ASSERT_TRUE(WaitForLogCount("GetMovieAudio", 1));

    kill(servers[0], SIGKILL);
    EXPECT_TRUE(vireo::test::WaitUntil(
        [&] { return frameCalls == 1 && audioCalls >= 1 && quietCalls == 1; },
        vireo::test::Scaled(1000ms)));
    ImporterRef none;
    ASSERT_TRUE(WaitForEveryHandler(client, none));  // a second completion would have come
    EXPECT_EQ(frameCalls.load(), 1);
    EXPECT_EQ(frameResult.load(), -1);
    EXPECT_EQ(audioCalls.load(), 1);
    EXPECT_EQ(quietCalls.load(), 1);
}

TEST_F(LibraryTest, RestartOnDemandStartsAtMostThreeServersAMinute) {
    // Every server ends at once, as after a crash, when asked to open a movie.
    UseScript(ConnectingScript(R"("OpenMovieFromFile": {"exit": true})"));
    auto& settings = basekit::debug::DebugDatabase::Instance();
    settings.SetEntry("VireoServerManager.RestartOnDemand", "true");
    ClientRef client = VireoClient::Create();
    auto sessions = [&] { return LogCount("session-start", "event"); };
    ASSERT_EQ(sessions(), 1u);
    // More imports than restarts allowed: an import made before the library has seen the end of
    // the session fails without a restart, and must not make the count fall short.
    for (int i = 0; i < 8; ++i) {
        // The open's error comes with the end of the session, so the next import normally finds
        // the server gone.
        ImporterRef importer;
        EXPECT_EQ(VireoClient::ImportFile(u"/a.mov", false, false, false, importer), 5);
        for (pid_t server : Servers()) {
            ASSERT_TRUE(vireo::test::WaitForProcessExit(server, vireo::test::Scaled(5000ms)));
        }
        // A server on its way out no longer shows its command line but may still hold its
        // listener, and would then be found again by the next start: the entry it leaves
        // behind names it.
        hostlink::RegistryEntry entry;
        if (mRegistry.ReadEntry("corvidhost VireoServer", entry)) {
            ASSERT_TRUE(vireo::test::WaitForProcessExit(static_cast<pid_t>(entry.pid),
                                                        vireo::test::Scaled(5000ms)));
        }
    }
    // The first server and three restarts; then nothing more for the rest of the minute.
    EXPECT_EQ(sessions(), 4u);
    EXPECT_TRUE(Servers().empty());
    settings.RemoveEntry("VireoServerManager.RestartOnDemand");
}

TEST_F(LibraryTest, KilledClientProcessEndsItsPrivateServer) {
    UseServer(vireo::test::ServerKind::Real);
    vireo::test::ChildProcess peer({LIBRARY_PEER_PATH, "unique"});
    std::string line;
    ASSERT_TRUE(peer.ReadLine(line, vireo::test::Scaled(20s)));
    EXPECT_EQ(line, "ready 1");
    std::vector<pid_t> const servers = Servers();
    ASSERT_EQ(servers.size(), 2u);  // the shared one and the private one
    ASSERT_EQ(mRegistry.CountEntries(), 2);

    peer.Kill();
    // The private server ends within a second and removes its entry; the shared one stays for
    // its idle grace.
    EXPECT_TRUE(
        vireo::test::WaitUntil([&] { return Servers().size() == 1; }, vireo::test::Scaled(1500ms)));
    EXPECT_TRUE(vireo::test::WaitUntil([&] { return mRegistry.CountEntries() == 1; },
                                       vireo::test::Scaled(1500ms)));
}

}  // namespace
}  // namespace vireo::test::library
