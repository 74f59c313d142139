// Where the registry is, and that nobody else can take it or look into it.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "OtherUser.h"
#include "TestHelpers.h"
#include "basetransport/LocalFolder.h"
#include "hostlink/HostLink.h"
#include "hostlink/Registry.h"

namespace vireo::test::hostlink {

using namespace std::chrono_literals;
using support::AppDirectory;
using support::ScopedEnv;
using support::ServerKind;
using support::TempDir;
using support::TempRegistry;

namespace {

struct stat StatOf(std::string const& path) {
    struct stat st {};
    EXPECT_EQ(0, ::lstat(path.c_str(), &st)) << path;
    return st;
}

// A home of its own, with no runtime directory and no registry named.
class ScratchHome {
  public:
    explicit ScratchHome(mode_t mode)
        : mHomeEnv("HOME", mDir.Path().c_str()),
          mRuntime("XDG_RUNTIME_DIR", nullptr),
          mRegistry("CORVIDHOST_REGISTRY_DIR", nullptr) {
        ::chmod(mDir.Path().c_str(), mode);
    }
    std::string const& Home() const { return mDir.Path(); }
    std::string Folder() const { return Home() + "/.corvidhost"; }

  private:
    TempDir mDir{"vireo-home"};
    ScopedEnv mHomeEnv;
    ScopedEnv mRuntime;
    ScopedEnv mRegistry;
};

}  // namespace

TEST(Folder, RuntimeDirectoryElseHomeAndTheNamedOneWins) {
    ScratchHome home(0700);
    EXPECT_EQ(home.Folder(), ::hostlink::RegistryDirectory()) << "no runtime directory";
    EXPECT_EQ(0700u, StatOf(home.Folder()).st_mode & 07777);

    TempDir runtime("vireo-runtime");
    {
        ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.Path().c_str());
        EXPECT_EQ(runtime.Path() + "/corvidhost", ::hostlink::RegistryDirectory());
        TempDir named("vireo-named");
        ScopedEnv chosen("CORVIDHOST_REGISTRY_DIR", named.Path().c_str());
        EXPECT_EQ(named.Path(), ::hostlink::RegistryDirectory());
    }

    // Ours with a wrong mode: put right.
    ASSERT_EQ(0, ::chmod(home.Folder().c_str(), 0755));
    EXPECT_EQ(home.Folder(), ::hostlink::RegistryDirectory());
    EXPECT_EQ(0700u, StatOf(home.Folder()).st_mode & 07777);
}

// Another user who makes the folder first (in a home that lets it) gets it moved aside: the
// owner's folder is made anew, and the owner's servers start and answer there.
TEST(Folder, AFolderMadeInAdvanceByAnotherUserDoesNotLockTheOwnerOut) {
    ScratchHome home(0777);
    std::string const folder = home.Folder();
    int const made = RunAsOtherUser([&] {
        if (::mkdir(folder.c_str(), 0777) != 0) {
            return 1;
        }
        int const fd = ::open((folder + "/planted.json").c_str(), O_CREAT | O_WRONLY, 0666);
        return fd >= 0 ? 0 : 2;
    });
    if (made == kNoOtherUser) {
        GTEST_SKIP() << "this machine does not let a test run as another user";
    }
    ASSERT_EQ(0, made);
    ASSERT_NE(::geteuid(), StatOf(folder).st_uid);

    EXPECT_EQ(folder, ::hostlink::RegistryDirectory());
    struct stat const st = StatOf(folder);
    EXPECT_EQ(::geteuid(), st.st_uid);
    EXPECT_EQ(0700u, st.st_mode & 07777);
    EXPECT_TRUE(std::filesystem::is_empty(folder));

    AppDirectory app(ServerKind::Real);
    Outcome outcome = Connect(kSharedName, app.ExecutablePath());
    ASSERT_NE(0, outcome.connection.port);
    EXPECT_TRUE(Answers(outcome.connection));
    ::kill(static_cast<pid_t>(outcome.connection.processID), SIGKILL);
    EXPECT_TRUE(
        support::WaitForProcessExit(static_cast<pid_t>(outcome.connection.processID), Scaled(10s)));
}

// Another user can neither read the registry (entries hold the tokens) nor connect to a
// server; the owner's clients are not disturbed by the attempts.
TEST(Folder, AnotherUserCanNeitherReadTheRegistryNorConnect) {
    TempRegistry registry;
    AppDirectory app(ServerKind::Real);
    Outcome outcome = Connect(kSharedName, app.ExecutablePath());
    ASSERT_NE(0, outcome.connection.port);
    std::string const entry = ::hostlink::EntryPath(registry.Dir(), kSharedName);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string const listener =
        basetransport::ListenerPath(registry.Dir(), outcome.connection.port);
    std::strncpy(address.sun_path, listener.c_str(), sizeof address.sun_path - 1);

    int const result = RunAsOtherUser([&] {
        if (::open(entry.c_str(), O_RDONLY) >= 0 || errno != EACCES) {
            return 1;
        }
        if (::opendir(registry.Dir().c_str()) != nullptr) {
            return 2;
        }
        int const fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<sockaddr const*>(&address), sizeof address) == 0 ||
            errno != EACCES) {
            return 3;
        }
        return 0;
    });
    if (result == kNoOtherUser) {
        GTEST_SKIP() << "this machine does not let a test run as another user";
    }
    EXPECT_EQ(0, result);
    EXPECT_TRUE(Answers(outcome.connection));
}

}  // namespace vireo::test::hostlink
