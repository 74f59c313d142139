// Finding and starting named servers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "TestHelpers.h"
#include "TestSupport.h"
#include "basekit/utility/Process.h"
#include "hostlink/HostLink.h"
#include "hostlink/Registry.h"

namespace vireo::test::hostlink {

using namespace std::chrono_literals;
using support::AppDirectory;
using support::ScopedEnv;
using support::ScriptFile;
using support::ServerKind;
using support::TempRegistry;

TEST(Launch, ExecutablesThatCannotRunAreRefusedOrReportedPromptly) {
    TempRegistry registry;
    support::TempDir dir("vireo-notexe");
    std::string const plain = dir.Path() + "/plain";
    std::ofstream(plain) << "not a program";
    ::chmod(plain.c_str(), 0644);
    int calls = 0;
    for (auto const& path : {dir.Path() + "/missing", plain, dir.Path()}) {
        EXPECT_EQ(0, ::hostlink::CreateNamedServerConnection(
                         UTF8to16(kSharedName), UTF8to16(path), UTF8to16(kSharedName),
                         [&calls](::hostlink::ServerConnection const&) { ++calls; }))
            << path;
    }

    // Executable, but it ends at once (or is not a program at all): port 0, well before the
    // announcement time-out.
    std::string const garbage = dir.Path() + "/garbage";
    std::ofstream(garbage) << "\x7f"
                              "ELF garbage";
    ::chmod(garbage.c_str(), 0755);
    for (auto const& path : std::vector<std::string>{"/bin/false", garbage}) {
        Outcome outcome = Connect(kSharedName, path, 20s);
        EXPECT_NE(0, outcome.ticket) << path;
        ASSERT_TRUE(outcome.called) << path;
        EXPECT_EQ(0, outcome.connection.port) << path;
    }
    EXPECT_EQ(0, calls);
    EXPECT_EQ(0, registry.CountEntries());
}

TEST(Launch, TwoProcessesStartingOneNameAtOnceGetOneServer) {
    TempRegistry registry;
    AppDirectory app(ServerKind::Scripted);
    // The announcement comes late, so both requests overlap the start.
    ScriptFile script(R"({"announceDelayMs": 300, "methods": {}})");

    HelperProcess other(kSharedName, app.ExecutablePath(), true);
    Outcome mine = Connect(kSharedName, app.ExecutablePath());
    ASSERT_TRUE(other.ReadReport(30s));
    ASSERT_NE(0, mine.connection.port);
    EXPECT_EQ(mine.connection.processID, other.ServerPid());
    EXPECT_TRUE(other.HasSession());
    EXPECT_EQ(1u, registry.ServerProcesses().size());
}

TEST(Launch, LateAnnouncementIsDeliveredAndSilenceIsEndedByTheTimeOut) {
    TempRegistry registry;
    AppDirectory app(ServerKind::Scripted);
    {
        ScriptFile late(R"({"announceDelayMs": 1200, "methods": {}})");
        EXPECT_NE(0, Connect(kSharedName, app.ExecutablePath()).connection.port);
    }
    {
        // A server that never announces itself is killed when the time runs out.
        ScopedEnv timeout("CORVIDHOST_ANNOUNCE_TIMEOUT_MS", "400");
        ScriptFile silent(R"({"announceDelayMs": 600000, "methods": {}})");
        std::string const name = PrivateName("silent");
        Outcome outcome = Connect(name, app.ExecutablePath());
        ASSERT_TRUE(outcome.called);
        EXPECT_EQ(0, outcome.connection.port);
        EXPECT_TRUE(support::WaitUntil([&] { return registry.ServerProcesses().size() == 1; },
                                       Scaled(10s)));  // the first one only
    }
}

namespace {

pid_t DeadProcess() {
    pid_t const dead = ::fork();
    if (dead == 0) {
        ::_exit(0);
    }
    EXPECT_EQ(dead, ::waitpid(dead, nullptr, 0));
    return dead;
}

bool Exists(std::string const& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

}  // namespace

TEST(Launch, StaleEntriesAreReplaced) {
    ScriptedSetup setup;
    TempRegistry& registry = setup.registry;
    std::string const path = ::hostlink::EntryPath(registry.Dir(), kSharedName);

    pid_t const dead = DeadProcess();
    // A live process (this one) at a port where nothing listens (a server killed after its
    // port was reused would look like this), and an entry of another name (a hash collision).
    ::hostlink::RegistryEntry stale;
    stale.host = "127.0.0.1";
    stale.port = 1;
    stale.token = "old";
    stale.name = kSharedName;
    std::vector<::hostlink::RegistryEntry> cases(3, stale);
    cases[0].pid = dead;
    cases[0].port = 40000;
    cases[1].pid = ::getpid();
    cases[2].pid = ::getpid();
    cases[2].name = "someone else";

    for (auto const& entry : cases) {
        ASSERT_TRUE(::hostlink::WriteEntry(path, entry));
        Outcome outcome = Connect(kSharedName, setup.app.ExecutablePath());
        ASSERT_NE(0, outcome.connection.port);
        ::hostlink::RegistryEntry now;
        ASSERT_TRUE(registry.ReadEntry(kSharedName, now));
        EXPECT_EQ(outcome.connection.processID, now.pid);
        EXPECT_NE(stale.token, now.token);
        ::kill(static_cast<pid_t>(now.pid), SIGKILL);
        EXPECT_TRUE(support::WaitForProcessExit(static_cast<pid_t>(now.pid), Scaled(10s)));
    }
    // After SIGKILL the entry stays behind, stale; the next request replaces it too.
    EXPECT_EQ(1, registry.CountEntries());
    EXPECT_NE(0, Connect(kSharedName, setup.app.ExecutablePath()).connection.port);
}

TEST(Launch, ServersInheritNoDescriptorsOfTheirStarter) {
    ScriptedSetup setup;
    int leaky[2];
    ASSERT_EQ(0, ::pipe(leaky));  // deliberately without close-on-exec
    Outcome outcome = Connect(kSharedName, setup.app.ExecutablePath());
    ASSERT_NE(0, outcome.connection.port);
    std::string const fdDir = "/proc/" + std::to_string(outcome.connection.processID) + "/fd/";
    for (int fd : leaky) {
        std::string const mine = "/proc/self/fd/" + std::to_string(fd);
        char ours[256] = {};
        char theirs[256] = {};
        ASSERT_LT(0, ::readlink(mine.c_str(), ours, sizeof ours - 1));
        for (int candidate = 0; candidate < 64; ++candidate) {
            std::string const path = fdDir + std::to_string(candidate);
            ssize_t n = ::readlink(path.c_str(), theirs, sizeof theirs - 1);
            if (n > 0) {
                theirs[n] = '\0';
                EXPECT_STRNE(ours, theirs) << "server holds our descriptor " << fd;
            }
        }
    }
    ::close(leaky[0]);
    ::close(leaky[1]);
}

// What processes that died left in the registry is removed by the next request; what live
// processes hold stays.
TEST(Launch, LeftoversOfProcessesThatDiedAreRemoved) {
    ScriptedSetup setup;
    auto const path = [&](char const* suffix) {
        return ::hostlink::EntryPath(setup.registry.Dir(), PrivateName(suffix));
    };
    pid_t const dead = DeadProcess();
    std::uint64_t const started = basekit::utility::ProcessStartTime(::getpid());

    ::hostlink::RegistryEntry gone;
    gone.pid = dead;
    gone.host = "127.0.0.1";
    gone.port = 5000;
    gone.token = "t";
    ::hostlink::RegistryEntry reused = gone;  // its pid now names another process
    reused.pid = ::getpid();
    reused.started = started + 1;
    ::hostlink::RegistryEntry live = reused;
    live.started = started;
    ASSERT_TRUE(::hostlink::WriteEntry(path("gone"), gone));
    ASSERT_TRUE(::hostlink::WriteEntry(path("reused"), reused));
    ASSERT_TRUE(::hostlink::WriteEntry(path("live"), live));
    std::ofstream(::hostlink::LockPath(path("crashed"))) << "";
    int const holder = ::open(::hostlink::LockPath(path("busy")).c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(0, ::flock(holder, LOCK_EX));
    std::ofstream(path("half") + ".tmp." + std::to_string(dead)) << "{";
    bool const asRoot = ::geteuid() == 0;
    if (asRoot) {  // as if planted by another user while the folder was open
        ASSERT_TRUE(::hostlink::WriteEntry(path("planted"), live));
        ASSERT_EQ(0, ::chown(path("planted").c_str(), 65534, 65534));
    }

    ASSERT_NE(0, Connect(kSharedName, setup.app.ExecutablePath()).connection.port);
    EXPECT_FALSE(Exists(path("gone")));
    EXPECT_FALSE(Exists(path("reused")));
    EXPECT_TRUE(Exists(path("live")));
    EXPECT_FALSE(Exists(::hostlink::LockPath(path("crashed"))));
    EXPECT_TRUE(Exists(::hostlink::LockPath(path("busy"))));
    EXPECT_FALSE(Exists(path("half") + ".tmp." + std::to_string(dead)));
    if (asRoot) {
        EXPECT_FALSE(Exists(path("planted")));
    }
    ::close(holder);
}

}  // namespace vireo::test::hostlink
