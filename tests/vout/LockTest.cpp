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

    std::unique_ptr<Child> StartHolder(std::string const& application) {
        return std::make_unique<Child>(std::vector<std::string>{
            HolderPath(), LockDir(), mDir.Path() + "/captures", application});
    }

    vireo::test::TempDir mDir{"vout-lock"};
};

// UTF-8 names travel through the lock file unchanged.
std::string const kHolderName = "Holder \xC3\x9C App";

TEST_F(LockTest, ASecondProcessIsRefusedWithTheHoldersName) {
    vout::VideoOutputs outputs(MakeSettings());
    ASSERT_EQ(outputs.BeginUsingComponent(1, CaptureRequest(kHolderName))
                  .mVOutOperationResult.mOperationResult,
              vout::kVOutOperationSucceeded);

    auto other = StartHolder("Intruder");
    std::string line;
    ASSERT_TRUE(other->ReadLine(line, ScaledMs(20000)));
    EXPECT_EQ(line, std::to_string(vout::kVOutComponentInUse) + " " + kHolderName);
    EXPECT_EQ(other->CloseAndWait(), 1) << "the refused process had nothing to give back";

    // Given back here, the other process gets it.
    EXPECT_EQ(outputs.EndUsingComponent(1).mOperationResult, vout::kVOutOperationSucceeded);
    auto next = StartHolder("Next");
    ASSERT_TRUE(next->ReadLine(line, ScaledMs(20000)));
    EXPECT_EQ(line, "0 Next");
    EXPECT_EQ(next->CloseAndWait(), 0);
}

TEST_F(LockTest, AKilledHolderFreesTheComponent) {
    auto holder = StartHolder(kHolderName);
    std::string line;
    ASSERT_TRUE(holder->ReadLine(line, ScaledMs(20000)));
    ASSERT_EQ(line, "0 " + kHolderName);

    vout::VideoOutputs outputs(MakeSettings());
    vout::UseComponentData const refused =
        outputs.BeginUsingComponent(1, CaptureRequest("Waiting App"));
    EXPECT_EQ(refused.mVOutOperationResult.mOperationResult, vout::kVOutComponentInUse);
    EXPECT_EQ(refused.mVOutOperationResult.mApplicationUsingComponentName, kHolderName);

    holder->Kill();
    vout::UseComponentData const taken =
        outputs.BeginUsingComponent(1, CaptureRequest("Waiting App"));
    EXPECT_EQ(taken.mVOutOperationResult.mOperationResult, vout::kVOutOperationSucceeded);
    EXPECT_EQ(taken.mVOutOperationResult.mApplicationUsingComponentName, "Waiting App");

    // The lock file now names this process and its application.
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

TEST_F(LockTest, TheDefaultDirectoriesArePerUser) {
    vireo::test::ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/4242");
    EXPECT_EQ(vout::DefaultLockDirectory(), "/run/user/4242/vireo-vout");
    vireo::test::ScopedEnv noRuntime("XDG_RUNTIME_DIR", nullptr);
    vireo::test::ScopedEnv tmp("TMPDIR", "/var/tmp");
    EXPECT_EQ(vout::DefaultLockDirectory(), "/var/tmp/vireo-vout-" + std::to_string(::geteuid()));

    vireo::test::ScopedEnv configured("VIREO_VOUT_CAPTURE_DIR", "/srv/captures");
    EXPECT_EQ(vout::DefaultCaptureDirectory(), "/srv/captures");
    vireo::test::ScopedEnv notConfigured("VIREO_VOUT_CAPTURE_DIR", nullptr);
    vireo::test::ScopedEnv data("XDG_DATA_HOME", "/home/u/data");
    EXPECT_EQ(vout::DefaultCaptureDirectory(), "/home/u/data/Vireo/Captures");
    vireo::test::ScopedEnv noData("XDG_DATA_HOME", nullptr);
    vireo::test::ScopedEnv home("HOME", "/home/u");
    EXPECT_EQ(vout::DefaultCaptureDirectory(), "/home/u/.local/share/Vireo/Captures");
}

}  // namespace
}  // namespace vireo::test::vout
