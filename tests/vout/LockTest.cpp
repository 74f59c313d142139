// One application at a time across processes: a second process is refused with the holder's
// name, a killed holder frees the component, and the lock directory stays private.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "TestSupport.h"
#include "TimeScale.h"
#include "VoutTestSupport.h"
#include "vout/VideoOutputs.h"

namespace vireo::test::vout {
namespace {

namespace vout = ::vireo::server::vout;

class LockTest : public ::testing::Test {
  protected:
    vout::Settings MakeSettings() const {
        vout::Settings settings;
        settings.lockDirectory = LockDir();
        settings.captureDirectory = mDir.Path() + "/captures";
        settings.useDisplays = false;
        return settings;
    }
    std::string LockDir() const { return mDir.Path() + "/locks"; }

    std::unique_ptr<ChildProcess> StartHolder(std::string const& application) {
        return std::make_unique<ChildProcess>(std::vector<std::string>{
            HolderPath(), LockDir(), mDir.Path() + "/captures", application});
    }

    vireo::test::TempDir mDir{"vout-lock"};
};

// UTF-8 names travel through the lock file unchanged.
std::string const kHolderName = "Holder \xC3\x9C App";

TEST_F(LockTest, OneProcessAtATimeAndAKilledHolderFreesTheComponent) {
    auto const bound = Scaled(std::chrono::seconds(20));
    vout::VideoOutputs outputs(MakeSettings());
    ASSERT_EQ(outputs.BeginUsingComponent(1, CaptureRequest(kHolderName))
                  .mVOutOperationResult.mOperationResult,
              vout::kVOutOperationSucceeded);
    std::string line;
    {
        auto other = StartHolder("Intruder");
        ASSERT_TRUE(other->ReadLine(line, bound));
        EXPECT_EQ(line, std::to_string(vout::kVOutComponentInUse) + " " + kHolderName);
        EXPECT_EQ(other->CloseAndWait(bound), 1) << "the refused process had nothing to give back";
    }

    // Given back here, the other process gets it, and this one is refused with its name.
    EXPECT_EQ(outputs.EndUsingComponent(1).mOperationResult, vout::kVOutOperationSucceeded);
    auto holder = StartHolder("Next");
    ASSERT_TRUE(holder->ReadLine(line, bound));
    EXPECT_EQ(line, "0 Next");
    vout::UseComponentData const refused =
        outputs.BeginUsingComponent(1, CaptureRequest("Waiting App"));
    EXPECT_EQ(refused.mVOutOperationResult.mOperationResult, vout::kVOutComponentInUse);
    EXPECT_EQ(refused.mVOutOperationResult.mApplicationUsingComponentName, "Next");

    // Killed, the holder leaves the component free; the lock file then names this process.
    holder->Kill();
    vout::UseComponentData const taken =
        outputs.BeginUsingComponent(1, CaptureRequest("Waiting App"));
    EXPECT_EQ(taken.mVOutOperationResult.mOperationResult, vout::kVOutOperationSucceeded);
    std::ifstream file(LockDir() + "/capture.lock");
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str(), "pid " + std::to_string(::getpid()) + "\nWaiting App");
}

TEST_F(LockTest, TheLockDirectoryIsPrivate) {
    {
        vout::VideoOutputs outputs(MakeSettings());
        ASSERT_EQ(outputs.BeginUsingComponent(1, CaptureRequest("Private"))
                      .mVOutOperationResult.mOperationResult,
                  vout::kVOutOperationSucceeded);
        struct stat st {};
        ASSERT_EQ(::stat(LockDir().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        ASSERT_EQ(::stat((LockDir() + "/capture.lock").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    // Given back: the file is empty, so no later reader takes an old name for a holder's.
    struct stat st {};
    ASSERT_EQ(::stat((LockDir() + "/capture.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);

    // A directory that others may write to is not used.
    ASSERT_EQ(::chmod(LockDir().c_str(), 0777), 0);
    vout::VideoOutputs outputs(MakeSettings());
    vout::UseComponentData const refused = outputs.BeginUsingComponent(1, CaptureRequest("Open"));
    EXPECT_EQ(refused.mVOutOperationResult.mOperationResult, vout::kVOutOutputFailed);
    EXPECT_EQ(refused.mVOutOperationResult.mQTResultCode, EACCES);
}

// Users on one machine never share a lock directory.
TEST_F(LockTest, TheDefaultLockDirectoryIsPerUser) {
    vireo::test::ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/4242");
    EXPECT_EQ(vout::DefaultLockDirectory(), "/run/user/4242/vireo-vout");
    vireo::test::ScopedEnv noRuntime("XDG_RUNTIME_DIR", nullptr);
    vireo::test::ScopedEnv tmp("TMPDIR", "/var/tmp");
    EXPECT_EQ(vout::DefaultLockDirectory(), "/var/tmp/vireo-vout-" + std::to_string(::geteuid()));
}

}  // namespace
}  // namespace vireo::test::vout
