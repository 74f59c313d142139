// Finding, starting and sharing server processes through the factories, with the real server.
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "LibraryFixture.h"
#include "LibraryPeer.h"
#include "TimeScale.h"

namespace vireo::test::library {
namespace {

using VireoClient::kServerStartFailed;

TEST_F(LibraryTest, CreateStartsTheServerAndSharesOneClient) {
    UseServer(vireo::test::ServerKind::Real);
    ClientRef first = VireoClient::Create();
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->IsQuicktimeAvailable());
    EXPECT_EQ(Servers().size(), 1u);
    EXPECT_EQ(mRegistry.CountEntries(), 1);

    ClientRef second = VireoClient::Create();
    EXPECT_EQ(first.get(), second.get());
    first.reset();
    second.reset();
    // An answer handler may hold the client, and the client its manager, for a moment after its
    // caller went on.
    EXPECT_TRUE(
        vireo::test::WaitUntil([] { return !SharedClientExists() && !SharedManagerExists(); },
                               vireo::test::Scaled(2000ms)));

    // A new shared client is built and connected again.
    ClientRef third = VireoClient::Create();
    EXPECT_TRUE(SharedClientExists());
    EXPECT_TRUE(third->IsQuicktimeAvailable());
    EXPECT_EQ(Servers().size(), 1u);
}

TEST_F(LibraryTest, AnotherProcessFindsTheRunningSharedServer) {
    UseServer(vireo::test::ServerKind::Real);
    ClientRef client = VireoClient::Create();
    ASSERT_TRUE(client->IsQuicktimeAvailable());
    std::vector<pid_t> const before = Servers();
    ASSERT_EQ(before.size(), 1u);

    PeerProcess peer(PeerMode::Shared);
    ASSERT_TRUE(peer.WaitReady()) << "the peer could not connect";
    EXPECT_EQ(Servers(), before);  // one server process, not two
    peer.Finish();
    EXPECT_EQ(peer.ExitCode(), 0);
}

TEST_F(LibraryTest, CreateUniqueInstanceStartsAPrivateServerAndTheSharedOne) {
    UseServer(vireo::test::ServerKind::Real);
    ClientRef unique = VireoClient::CreateUniqueInstance();
    ASSERT_TRUE(unique);
    // The shared server was started too.
    EXPECT_EQ(Servers().size(), 2u);
    EXPECT_EQ(mRegistry.CountEntries(), 2);

    ClientRef shared = VireoClient::Create();
    EXPECT_NE(unique.get(), shared.get());
    // A private client fetches no catalogues.
    std::vector<std::uint32_t> codecs;
    unique->GetImportCodecs(codecs);
    EXPECT_TRUE(codecs.empty());

    // Releasing the private client ends its server and its entry.
    std::vector<pid_t> servers = Servers();
    unique.reset();
    EXPECT_TRUE(
        vireo::test::WaitUntil([&] { return Servers().size() == 1; }, vireo::test::Scaled(2000ms)));
    EXPECT_TRUE(vireo::test::WaitUntil([&] { return mRegistry.CountEntries() == 1; },
                                       vireo::test::Scaled(2000ms)));
}

TEST_F(LibraryTest, CreateServerManagerInstanceReturnsTheSharedManager) {
    UseServer(vireo::test::ServerKind::Real);
    auto first = VireoClient::CreateServerManagerInstance();
    auto second = VireoClient::CreateServerManagerInstance();
    ASSERT_TRUE(first);
    EXPECT_EQ(first.get(), second.get());
    // Two initialisations and one uninitialisation keep the connection.
    ASSERT_EQ(first->InitializeClient(false), 0);
    ASSERT_EQ(first->InitializeClient(false), 0);
    first->UninitializeClient();
    InterfaceRef<VireoClient::VireoServerManager, VireoClient::IVireoServerManager> manager(first);
    EXPECT_TRUE(manager->GetRPCClient());
    first->UninitializeClient();
    EXPECT_FALSE(manager->GetRPCClient());
    // An unmatched uninitialisation does nothing, and the next initialisation connects again.
    first->UninitializeClient();
    EXPECT_EQ(first->InitializeClient(false), 0);
    EXPECT_TRUE(manager->GetRPCClient());
    first->UninitializeClient();
}

TEST_F(LibraryTest, MissingExecutableGivesAClientWithoutServer) {
    UseEmptyApplicationDirectory();
    auto manager = VireoClient::CreateServerManagerInstance();
    EXPECT_EQ(manager->InitializeClient(false), kServerStartFailed);
    manager->UninitializeClient();
    manager.reset();

    ClientRef client = VireoClient::Create();
    ASSERT_TRUE(client);
    EXPECT_FALSE(client->IsQuicktimeAvailable());
    EXPECT_TRUE(client->GetImportableFileExtensions().empty());  // at once, no wait

    bool called = false;
    EXPECT_FALSE(client->OpenMovieFromFile(u"/x.mov", false, false, false,
                                           [&](auto const&) { called = true; }));
    EXPECT_FALSE(client->GetMovieAudio(basekit::utility::Guid(),
                                       [&](long, float const*) { called = true; }));
    EXPECT_FALSE(client->GetMovieVideo(
        basekit::utility::Guid(), 0, VireoServer::PixelFormat(), 0, 0,
        [&](auto const&, long) { called = true; }, basekit::utility::Guid::CreateUnique()));
    EXPECT_FALSE(client->CancelMovieVideo(basekit::utility::Guid(), basekit::utility::Guid()));
    basekit::UTF16String name = u"kept";
    client->GetQuicktimeCodecName(0x61766331, name);
    EXPECT_EQ(name, u"kept");
    client->CloseMovie(basekit::utility::Guid());
    client->QuietMovie(basekit::utility::Guid(), [&] { called = true; });
    EXPECT_FALSE(called);

    ImporterRef importer;
    EXPECT_EQ(VireoClient::ImportFile(u"/x.mov", false, false, false, importer), 5);
    EXPECT_FALSE(importer);
}

TEST_F(LibraryTest, ExecutableThatCannotBeStartedIsReportedOnce) {
    UseEmptyApplicationDirectory();
    // A file by the server's name that is not executable: found, but it cannot be started.
    std::string const path = mEmptyApp->Path() + "/Corvid Vireo Server.exe";
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_TRUE(file);
    std::fclose(file);
    int reports = 0;
    auto previous = basekit::debug::SetReportHandler([&](basekit::debug::Report const& report) {
        ++reports;
        EXPECT_NE(report.message.find("Unable to launch"), std::string::npos);
        EXPECT_NE(report.message.find("CreateNamedServerConnection returned an error!"),
                  std::string::npos);
        return false;
    });
    auto manager = VireoClient::CreateServerManagerInstance();
    EXPECT_EQ(manager->InitializeClient(false), kServerStartFailed);
    EXPECT_EQ(manager->InitializeClient(false), kServerStartFailed);
    manager->UninitializeClient();
    manager->UninitializeClient();
    EXPECT_EQ(reports, 2);
    basekit::debug::SetReportHandler(previous);
}

TEST_F(LibraryTest, StartupTimeoutThatIsNotANumberFailsUnlessAnnounced) {
    UseScript(R"({"announceDelayMs": 400, "methods": {}})");
    basekit::debug::DebugDatabase::Instance().SetEntry("VireoServerManager.StartupTimeout", "abc");
    auto manager = VireoClient::CreateServerManagerInstance();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(manager->InitializeClient(false), kServerStartFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, vireo::test::Scaled(300ms));

    // The announcement comes late; the session made for it is closed, and a later attempt with
    // a real time-out connects and gets an RPC client.
    ASSERT_TRUE(mScript->WaitForLog(
        [](boost::json::object const& line) {
            auto it = line.find("event");
            return it != line.end() && it->value() == "session-end";
        },
        vireo::test::Scaled(5000ms)));
    basekit::debug::DebugDatabase::Instance().SetEntry("VireoServerManager.StartupTimeout",
                                                       "10000");
    EXPECT_EQ(manager->InitializeClient(false), 0);
    InterfaceRef<VireoClient::VireoServerManager, VireoClient::IVireoServerManager> concrete(
        manager);
    EXPECT_TRUE(concrete->GetRPCClient());
    manager->UninitializeClient();
    manager->UninitializeClient();
}

}  // namespace
}  // namespace vireo::test::library
