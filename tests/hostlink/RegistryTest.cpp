// The registry: its directory's safety, entry files, the server's command line and its entry.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "TestHelpers.h"
#include "TestSupport.h"
#include "hostlink/HostLink.h"
#include "hostlink/Registry.h"
#include "hostlink/ServerSide.h"

namespace vireo::test::hostlink {

using support::ScopedEnv;
using support::TempDir;

namespace {

mode_t ModeOf(std::string const& path) {
    struct stat st {};
    EXPECT_EQ(0, ::lstat(path.c_str(), &st)) << path;
    return st.st_mode & 07777;
}

}  // namespace

TEST(Registry, DirectoryIsMadePrivateAndUnsafeOnesAreRefused) {
    TempDir base("vireo-regdir");
    std::string const fresh = base.Path() + "/fresh";
    {
        ScopedEnv env("CORVIDHOST_REGISTRY_DIR", fresh.c_str());
        mode_t old = ::umask(0);  // a permissive umask must not leak into the directory's mode
        EXPECT_EQ(fresh, ::hostlink::RegistryDirectory());
        ::umask(old);
        EXPECT_EQ(0700u, ModeOf(fresh));
    }

    support::AppDirectory app(support::ServerKind::Scripted);
    std::string const open = base.Path() + "/open";
    std::string const groupWritable = base.Path() + "/group";
    for (auto const& [dir, mode] :
         {std::make_pair(open, 0777), std::make_pair(groupWritable, 0770)}) {
        ASSERT_EQ(0, ::mkdir(dir.c_str(), 0700));
        ASSERT_EQ(0, ::chmod(dir.c_str(), mode));
    }
    std::string const link = base.Path() + "/link";
    ASSERT_EQ(0, ::symlink(fresh.c_str(), link.c_str()));
    std::string const file = base.Path() + "/file";
    std::ofstream(file) << "x";

    for (auto const& unsafe : {open, groupWritable, link, file}) {
        ScopedEnv env("CORVIDHOST_REGISTRY_DIR", unsafe.c_str());
        EXPECT_EQ("", ::hostlink::RegistryDirectory()) << unsafe;
        // No server is started where others could read its token or plant an entry.
        EXPECT_EQ(0, ::hostlink::CreateNamedServerConnection(UTF8to16(kSharedName),
                                                             UTF8to16(app.ExecutablePath()),
                                                             UTF8to16(kSharedName), {}))
            << unsafe;
        ::hostlink::server::LaunchOptions options;
        options.name = kSharedName;
        options.registry = unsafe;
        EXPECT_FALSE(::hostlink::server::Announce(options, "127.0.0.1", 1234, "token")) << unsafe;
    }

    if (::geteuid() == 0) {
        std::string const foreign = base.Path() + "/foreign";
        ASSERT_EQ(0, ::mkdir(foreign.c_str(), 0700));
        ASSERT_EQ(0, ::chown(foreign.c_str(), 65534, 65534));
        ScopedEnv env("CORVIDHOST_REGISTRY_DIR", foreign.c_str());
        EXPECT_EQ("", ::hostlink::RegistryDirectory());
    }
}

TEST(Registry, EntriesRoundTripPrivatelyAndNamesMapToDistinctSafeFiles) {
    TempDir dir("vireo-entries");
    ::hostlink::RegistryEntry entry;
    entry.pid = 4242;
    entry.host = "127.0.0.1";
    entry.port = 5555;
    entry.token = "secret";
    entry.instance = "instance";
    entry.name = "name/with ../ and \xc3\xa9";
    std::string const path = ::hostlink::EntryPath(dir.Path(), entry.name);
    EXPECT_EQ(dir.Path() + "/", path.substr(0, dir.Path().size() + 1));
    EXPECT_EQ(std::string::npos, path.find('/', dir.Path().size() + 1));  // no escape from dir

    ASSERT_TRUE(::hostlink::WriteEntry(path, entry));
    EXPECT_EQ(0600u, ModeOf(path));
    ::hostlink::RegistryEntry back;
    ASSERT_TRUE(::hostlink::ReadEntry(path, back));
    EXPECT_EQ(std::tie(entry.pid, entry.host, entry.port, entry.token, entry.instance, entry.name),
              std::tie(back.pid, back.host, back.port, back.token, back.instance, back.name));

    // Long names that share a long prefix still get distinct file names within the limit.
    std::string const longA = std::string(300, 'a') + "1";
    std::string const longB = std::string(300, 'a') + "2";
    EXPECT_NE(::hostlink::EntryFileName(longA), ::hostlink::EntryFileName(longB));
    EXPECT_LE(::hostlink::EntryFileName(longA).size() + 10,
              255u);  // room for ".lock", ".tmp.<pid>"

    for (char const* bad :
         {"", "{", "[]", "{\"pid\":1,\"host\":\"127.0.0.1\",\"port\":0,\"token\":\"t\"}",
          "{\"pid\":\"1\",\"host\":\"127.0.0.1\",\"port\":5,\"token\":\"t\"}"}) {
        std::ofstream(path) << bad;
        EXPECT_FALSE(::hostlink::ReadEntry(path, back)) << bad;
    }
}

TEST(ServerSide, LaunchOptionsAreParsedStrictly) {
    auto parse = [](std::vector<std::string> arguments, ::hostlink::server::LaunchOptions& out) {
        std::vector<char*> argv;
        std::string program = "server";
        argv.push_back(&program[0]);
        for (auto& argument : arguments) {
            argv.push_back(&argument[0]);
        }
        std::string error;
        return ::hostlink::server::ParseLaunchOptions(static_cast<int>(argv.size()), argv.data(),
                                                      out, error);
    };
    ::hostlink::server::LaunchOptions options;
    ASSERT_TRUE(parse({"--name", "n x", "--registry", "/r", "--instance", "i", "--parent-pid", "77",
                       "--idle-ms=250"},
                      options));
    EXPECT_EQ(std::tie("n x", "/r", "i"),
              std::tie(options.name, options.registry, options.instance));
    EXPECT_EQ(77, options.parentPid);
    EXPECT_EQ(250, options.idleMs);

    ASSERT_TRUE(parse({"--name=n", "--registry=/r"}, options));
    EXPECT_EQ("n", options.instance);  // the instance defaults to the name
    EXPECT_EQ(0, options.parentPid);

    EXPECT_FALSE(parse({"--registry", "/r"}, options));
    EXPECT_FALSE(parse({"--name", "n", "--registry", "/r", "--parent-pid", "-3"}, options));
    EXPECT_FALSE(parse({"--name", "n", "--registry", "/r", "--verbose", "1"}, options));
    EXPECT_FALSE(parse({"--name", "n", "--registry"}, options));
}

TEST(ServerSide, TokensAreFreshAndEntriesAreWithdrawnOnlyByTheirOwner) {
    std::string const a = ::hostlink::server::MakeToken();
    EXPECT_NE(a, ::hostlink::server::MakeToken());

    support::TempRegistry registry;
    ::hostlink::server::LaunchOptions options;
    options.name = kSharedName;
    options.registry = registry.Dir();
    options.instance = "inst";
    ASSERT_TRUE(::hostlink::server::Announce(options, "127.0.0.1", 4000, a));
    ::hostlink::RegistryEntry entry;
    ASSERT_TRUE(registry.ReadEntry(kSharedName, entry));
    EXPECT_EQ(std::tie(a, "inst"), std::tie(entry.token, entry.instance));
    ::hostlink::server::Withdraw(options);
    EXPECT_EQ(0, registry.CountEntries());

    // An entry written by another server (a successor) is left alone.
    entry.pid = ::getppid();
    ASSERT_TRUE(::hostlink::WriteEntry(::hostlink::EntryPath(registry.Dir(), kSharedName), entry));
    ::hostlink::server::Withdraw(options);
    EXPECT_EQ(1, registry.CountEntries());
}

TEST(ServerSide, RetiringWaitsForTheNameLockAndAsksWhetherStillIdle) {
    support::TempRegistry registry;
    ::hostlink::server::LaunchOptions options;
    options.name = kSharedName;
    options.registry = registry.Dir();
    ASSERT_TRUE(::hostlink::server::Announce(options, "127.0.0.1", 4000, "t"));
    std::string const lockPath =
        ::hostlink::LockPath(::hostlink::EntryPath(registry.Dir(), kSharedName));

    {
        // A client between finding the server and connecting to it holds the lock.
        int client = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_LE(0, client);
        ASSERT_EQ(0, ::flock(client, LOCK_EX));
        bool asked = false;
        EXPECT_FALSE(::hostlink::server::WithdrawIfIdle(
            options, [&] { return asked = true; }, 50));
        EXPECT_FALSE(asked);
        EXPECT_EQ(1, registry.CountEntries());
        ::close(client);
    }
    EXPECT_FALSE(::hostlink::server::WithdrawIfIdle(
        options, [] { return false; }, 1000));
    EXPECT_EQ(1, registry.CountEntries());
    EXPECT_TRUE(::hostlink::server::WithdrawIfIdle(
        options, [] { return true; }, 1000));
    EXPECT_EQ(0, registry.CountEntries());
    EXPECT_NE(0, ::access(lockPath.c_str(), F_OK));  // lock files do not pile up

    // A registry folder removed under a running server: it retires once idle, not never.
    ASSERT_TRUE(::hostlink::server::Announce(options, "127.0.0.1", 4000, "t"));
    std::filesystem::remove_all(registry.Dir());
    EXPECT_FALSE(::hostlink::server::WithdrawIfIdle(
        options, [] { return false; }, 50));
    EXPECT_TRUE(::hostlink::server::WithdrawIfIdle(
        options, [] { return true; }, 50));
}

}  // namespace vireo::test::hostlink
