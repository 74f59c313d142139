// When servers end, and who may talk to them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <unistd.h>
#include <cerrno>

#include <filesystem>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include "TestHelpers.h"
#include "TestSupport.h"
#include "basetransport/SocketTransport.h"
#include "hostlink/HostLink.h"

namespace vireo::test::hostlink {

using namespace std::chrono_literals;
using support::AppDirectory;
using support::ScopedEnv;
using support::ServerKind;
using support::TempRegistry;

namespace {

// Bounds for things that normally happen within a fraction of a second.
auto const kEnds = Scaled(10000ms);

pid_t ServerPid(Outcome const& outcome) {
    return static_cast<pid_t>(outcome.connection.processID);
}

long ThreadsOf(pid_t pid) {
    std::filesystem::directory_iterator const tasks("/proc/" + std::to_string(pid) + "/task");
    return std::distance(begin(tasks), end(tasks));
}

}  // namespace

TEST(Lifetime, PrivateServerEndsWithItsParentEvenBeforeASession) {
    ScriptedSetup setup;
    for (bool withSession : {false, true}) {
        HelperProcess parent(PrivateName(withSession ? "with" : "without"),
                             setup.app.ExecutablePath(), withSession);
        ASSERT_TRUE(parent.ReadReport(30s));
        ASSERT_NE(0, parent.Port());
        EXPECT_EQ(withSession, parent.HasSession());
        ASSERT_TRUE(support::IsProcessRunning(static_cast<pid_t>(parent.ServerPid())));
        parent.Kill();
        EXPECT_TRUE(support::WaitForProcessExit(static_cast<pid_t>(parent.ServerPid()), kEnds));
        EXPECT_EQ(0, setup.registry.CountEntries());
    }
}

// A private server ends with its only session, and any server on a termination signal; either
// way its entry goes and its sessions are closed.
TEST(Lifetime, PrivateServerEndsWithItsSessionAndAnyWithATerminationSignal) {
    TempRegistry registry;
    AppDirectory app(ServerKind::Real);
    for (int signal : {0, SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        Outcome outcome =
            Connect(signal == 0 ? PrivateName("a1b2") : kSharedName, app.ExecutablePath());
        ASSERT_NE(0, outcome.connection.port);
        auto session = OpenSession(outcome.connection);
        ASSERT_TRUE(session);
        if (signal == 0) {
            session->Close();
        } else {
            ASSERT_EQ(0, ::kill(ServerPid(outcome), signal));
        }
        EXPECT_TRUE(support::WaitForProcessExit(ServerPid(outcome), kEnds));
        EXPECT_EQ(0, registry.CountEntries());
        EXPECT_TRUE(support::WaitUntil([&] { return session->IsClosed(); }, kEnds));
        // Our child, and reaped: no zombie is left.
        EXPECT_TRUE(support::WaitUntil(
            [&] { return ::kill(ServerPid(outcome), 0) != 0 && errno == ESRCH; }, kEnds));
    }
}

TEST(Lifetime, SharedServerStaysWhileUsedAndEndsAfterTheGrace) {
    TempRegistry registry;
    AppDirectory app(ServerKind::Real);
    ScopedEnv grace("VIREO_SERVER_IDLE_MS", "300");
    Outcome outcome = Connect(kSharedName, app.ExecutablePath());
    ASSERT_NE(0, outcome.connection.port);
    auto first = OpenSession(outcome.connection);
    auto second = OpenSession(outcome.connection);
    ASSERT_TRUE(first && second);

    first->Close();
    // Over two graces with one session open, the server keeps answering it.
    basemarshal::RPCClient client(second, u"test");
    auto const until = std::chrono::steady_clock::now() + 700ms;
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_TRUE(Call(client, "GetQTServerProcessID").ok);
    }
    EXPECT_TRUE(support::IsProcessRunning(ServerPid(outcome)));
    EXPECT_EQ(1, registry.CountEntries());

    second->Close();
    EXPECT_TRUE(support::WaitForProcessExit(ServerPid(outcome), kEnds));
    EXPECT_EQ(0, registry.CountEntries());

    // The next request starts a new one.
    Outcome next = Connect(kSharedName, app.ExecutablePath());
    EXPECT_NE(0, next.connection.port);
    EXPECT_NE(outcome.connection.processID, next.connection.processID);
}

TEST(Lifetime, ServersThatNeverGetASessionEnd) {
    ScriptedSetup setup;
    ScopedEnv firstSession("VIREO_SERVER_FIRST_SESSION_MS", "200");
    Outcome shared = Connect(kSharedName, setup.app.ExecutablePath());
    Outcome unique = Connect(PrivateName("lonely"), setup.app.ExecutablePath());
    ASSERT_NE(0, shared.connection.port);
    ASSERT_NE(0, unique.connection.port);
    EXPECT_TRUE(support::WaitForProcessExit(ServerPid(shared), kEnds));
    EXPECT_TRUE(support::WaitForProcessExit(ServerPid(unique), kEnds));
    EXPECT_EQ(0, setup.registry.CountEntries());
}

// The real server holds a thousand sessions at once without a thread for each, and answers on
// every one of them.
TEST(Lifetime, TheServerHoldsAThousandSessionsOnAFlatThreadCount) {
    constexpr int kSessions = 1000;
    rlimit limit{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &limit));
    if (limit.rlim_max < kSessions + 200) {
        GTEST_SKIP() << "the descriptor limit is too low for " << kSessions << " sessions";
    }
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &limit));
    TempRegistry registry;
    AppDirectory app(ServerKind::Real);
    Outcome outcome = Connect(kSharedName, app.ExecutablePath());
    ASSERT_NE(0, outcome.connection.port);

    std::vector<std::unique_ptr<basemarshal::RPCClient>> clients;
    clients.push_back(
        std::make_unique<basemarshal::RPCClient>(OpenSession(outcome.connection), u"scale"));
    ASSERT_TRUE(Call(*clients.front(), "GetQTServerProcessID").ok);
    auto const before = ThreadsOf(ServerPid(outcome));
    while (clients.size() < kSessions) {
        auto session = OpenSession(outcome.connection);
        ASSERT_TRUE(session) << "session " << clients.size();
        clients.push_back(std::make_unique<basemarshal::RPCClient>(session, u"scale"));
    }
    for (std::size_t i = 0; i < clients.size(); ++i) {
        ASSERT_TRUE(Call(*clients[i], "GetQTServerProcessID").ok) << "session " << i;
    }
    // A few threads may join while handlers run long on a loaded machine, never one per session.
    EXPECT_LE(ThreadsOf(ServerPid(outcome)), before + 16);
    for (auto& client : clients) {
        client->GetSession()->Close();
    }
}

}  // namespace vireo::test::hostlink
