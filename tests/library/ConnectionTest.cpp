// Finding, starting and sharing server processes through the factories, with the real server.
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "ChildProcess.h"
#include "LibraryFixture.h"
#include "TimeScale.h"

namespace vireo::test::library {
namespace {

using VireoClient::kServerStartFailed;

TEST_F(LibraryTest, ClientsAndTheManagerAreSharedAndAPrivateClientHasItsOwnServer) {
    UseServer(vireo::test::ServerKind::Real);
    // A private client starts its own server, and the shared one too.
    ClientRef unique = VireoClient::CreateUniqueInstance();
    ASSERT_TRUE(unique);
    EXPECT_EQ(Servers().size(), 2u);
    EXPECT_EQ(mRegistry.CountEntries(), 2);

    ClientRef first = VireoClient::Create();
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->IsQuicktimeAvailable());
    EXPECT_NE(unique.get(), first.get());
    EXPECT_EQ(VireoClient::Create().get(), first.get());
    std::vector<pid_t> const before = Servers();

    // Another process finds the running shared server: one server process, not two.
    vireo::test::ChildProcess peer({LIBRARY_PEER_PATH, "shared"});
    std::string line;
    ASSERT_TRUE(peer.ReadLine(line, vireo::test::Scaled(20s)));
    EXPECT_EQ(line, "ready 1");
    EXPECT_EQ(Servers(), before);
    EXPECT_EQ(peer.CloseAndWait(vireo::test::Scaled(10s)), 0);

    // Releasing the private client ends its server and its entry.
    unique.reset();
    EXPECT_TRUE(
        vireo::test::WaitUntil([&] { return Servers().size() == 1; }, vireo::test::Scaled(2000ms)));
    EXPECT_TRUE(vireo::test::WaitUntil([&] { return mRegistry.CountEntries() == 1; },
                                       vireo::test::Scaled(2000ms)));

    // A new shared client is built and connected again.
    Recreate(first);
    EXPECT_TRUE(first->IsQuicktimeAvailable());
    EXPECT_EQ(Servers().size(), 1u);
    first.reset();
    EXPECT_TRUE(
        vireo::test::WaitUntil([] { return !SharedClientExists() && !SharedManagerExists(); },
                               vireo::test::Scaled(2000ms)));

    // One shared manager: two initialisations and one uninitialisation keep the connection.
    auto manager = VireoClient::CreateServerManagerInstance();
    ASSERT_TRUE(manager);
    EXPECT_EQ(VireoClient::CreateServerManagerInstance().get(), manager.get());
    ASSERT_EQ(manager->InitializeClient(false), 0);
    ASSERT_EQ(manager->InitializeClient(false), 0);
    manager->UninitializeClient();
    InterfaceRef<VireoClient::VireoServerManager, VireoClient::IVireoServerManager> concrete(
        manager);
    EXPECT_TRUE(concrete->GetRPCClient());
    manager->UninitializeClient();
    EXPECT_FALSE(concrete->GetRPCClient());
    // An unmatched uninitialisation does nothing, and the next initialisation connects again.
    manager->UninitializeClient();
    EXPECT_EQ(manager->InitializeClient(false), 0);
    EXPECT_TRUE(concrete->GetRPCClient());
    manager->UninitializeClient();
}

TEST_F(LibraryTest, MissingOrUnstartableExecutableGivesAClientWithoutServer) {
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

    // Codec settings: the default record, and no dialog is ever answered.
    VireoServer::VireoConvertCodecSettingsData settings;
    settings.mOutCodecSettings = Kino::BinaryData{4, 5};
    settings.mOutConvertSettingsResultCode = -7;
    client->ConvertQTAtomContainerSettingsToCodecSettings(settings);
    EXPECT_EQ(settings.mOutConvertSettingsResultCode, 2);
    EXPECT_TRUE(settings.mOutCodecSettings.empty());
    client->DisplayVideoCodecPrefsDialog({}, [&](auto const&) { called = true; });
    client->BringVideoCodecDialogToForeground();

    ImporterRef importer;
    EXPECT_EQ(VireoClient::ImportFile(u"/x.mov", false, false, false, importer), 5);
    EXPECT_FALSE(importer);
    ASSERT_TRUE(WaitForEveryHandler(client, importer));
    EXPECT_FALSE(called);

    // A file by the server's name that is not executable: found, but it cannot be started;
    // each attempt is reported once.
    std::ofstream(mEmptyApp->Path() + "/Corvid Vireo Server.exe").put('x');
    int reports = 0;
    auto previous = basekit::debug::SetReportHandler([&](basekit::debug::Report const& report) {
        ++reports;
        EXPECT_NE(report.message.find("Unable to launch"), std::string::npos);
        EXPECT_NE(report.message.find("CreateNamedServerConnection returned an error!"),
                  std::string::npos);
        return false;
    });
    manager = VireoClient::CreateServerManagerInstance();
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
    ASSERT_TRUE(WaitForLogCount("session-end", 1, "event"));
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
