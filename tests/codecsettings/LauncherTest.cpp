// The dialog launcher with stand-in programs: every way a request can end is answered exactly
// once, nothing waits for ever and no program is left running.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "DialogTestSupport.h"
#include "TestSupport.h"
#include "TimeScale.h"
#include "engine/FourCC.h"

namespace vireo::test::codecsettings {
namespace {

using engine::MakeFourCC;

constexpr std::uint32_t kH264 = MakeFourCC("avc1");
constexpr std::uint32_t kProRes = MakeFourCC("apch");

// A display name the launcher accepts; stand-in programs never connect to it.
class LauncherTest : public ::testing::Test {
  protected:
    vireo::test::ScopedEnv display{"DISPLAY", ":stand-in"};
    vireo::test::ScopedEnv wayland{"WAYLAND_DISPLAY", nullptr};
    vireo::test::TempDir dir{"vireo-dialogs"};
    Diagnostics diagnostics;
    Outcomes outcomes;

    std::string Script(std::string const& body) {
        return WriteScript(dir.Path(), "program-" + std::to_string(++mScripts), body);
    }
    // A marker file a program touches when it runs.
    std::string Marker() const { return dir.Path() + "/ran"; }
    bool Ran() const { return ::access(Marker().c_str(), F_OK) == 0; }

  private:
    int mScripts = 0;
};

std::string const kProResSettings =
    R"({"format":"vireo-codec-settings","version":1,"codec":"apch","options":{"quantiser":9}})";

// The program answers and lingers: the answer is passed on once, and the program is killed
// after the grace.
TEST_F(LauncherTest, AWellFormedAnswerIsPassedOnOnce) {
    std::string const program =
        Script("cat >/dev/null; echo ready; " + AcceptLines(kProResSettings) + "; exec sleep 60");
    cs::LauncherOptions options = TestOptions(program, diagnostics);
    options.exitGrace = std::chrono::milliseconds(200);
    {
        cs::DialogLauncher launcher(options);
        launcher.Show(1, kProRes, {}, outcomes.For(1));
        auto outcome = outcomes.WaitFor(1);
        ASSERT_TRUE(outcome);
        EXPECT_TRUE(outcome->accepted);
        EXPECT_EQ(Text(outcome->privateData), kProResSettings);
        EXPECT_TRUE(outcome->reason.empty());
        EXPECT_TRUE(vireo::test::WaitUntil([&] { return launcher.RunningPrograms() == 0; },
                                           Scaled(std::chrono::seconds(20))));
    }
    EXPECT_EQ(outcomes.Calls(1), 1);
}

TEST_F(LauncherTest, CancelledWithoutAProgramWhenThereIsNothingToShowOrNoWayToShowIt) {
    std::string const program = Script("touch '" + Marker() + "'; echo ready; echo cancelled");
    {
        cs::DialogLauncher launcher(TestOptions(program, diagnostics));
        // Uncompressed codecs and unknown codecs have no dialog.
        launcher.Show(1, MakeFourCC("2vuy"), {}, outcomes.For(1));
        launcher.Show(2, MakeFourCC("zzzz"), {}, outcomes.For(2));
        for (int request : {1, 2}) {
            auto outcome = outcomes.WaitFor(request);
            ASSERT_TRUE(outcome);
            EXPECT_FALSE(outcome->accepted);
            EXPECT_NE(outcome->reason.find("has no settings dialog"), std::string::npos);
        }
    }
    {
        vireo::test::ScopedEnv noDisplay("DISPLAY", nullptr);
        cs::DialogLauncher launcher(TestOptions(program, diagnostics));
        launcher.Show(3, kH264, {}, outcomes.For(3));
        auto outcome = outcomes.WaitFor(3);
        ASSERT_TRUE(outcome);
        EXPECT_FALSE(outcome->accepted);
        EXPECT_NE(outcome->reason.find("no display"), std::string::npos);
        {
            // A Wayland session alone is a display.
            vireo::test::ScopedEnv wayland2("WAYLAND_DISPLAY", "wayland-stand-in");
            launcher.Show(4, kH264, {}, outcomes.For(4));
            auto shown = outcomes.WaitFor(4);
            ASSERT_TRUE(shown);
            EXPECT_TRUE(shown->reason.empty()) << shown->reason;
        }
    }
    EXPECT_TRUE(diagnostics.Contains("no display"));
    EXPECT_TRUE(diagnostics.Contains("has no settings dialog"));
    for (int request : {1, 2, 3, 4}) {
        EXPECT_EQ(outcomes.Calls(request), 1) << request;
    }
}

TEST_F(LauncherTest, AProgramThatCannotBeStartedCancelsAtOnce) {
    std::string const notExecutable = dir.Path() + "/plain-file";
    { std::ofstream(notExecutable) << "#!/bin/sh\necho ready\n"; }
    std::string const notAProgram = dir.Path() + "/not-a-program";
    {
        std::ofstream file(notAProgram, std::ios::binary);
        file << std::string(
            "\x7f"
            "ELF garbage",
            12);
    }
    ::chmod(notAProgram.c_str(), 0755);
    std::vector<std::string> const programs = {dir.Path() + "/missing", notExecutable, dir.Path(),
                                               notAProgram};
    int request = 0;
    for (auto const& program : programs) {
        cs::DialogLauncher launcher(TestOptions(program, diagnostics));
        launcher.Show(1, kH264, {}, outcomes.For(++request));
        auto outcome = outcomes.WaitFor(request);
        ASSERT_TRUE(outcome) << program;
        EXPECT_FALSE(outcome->accepted) << program;
        EXPECT_NE(outcome->reason.find(program), std::string::npos) << outcome->reason;
        EXPECT_EQ(launcher.RunningPrograms(), 0u);
    }
}

// Every way a program can answer badly or not at all: cancelled with the reason, and the
// program gone (killed, not waited for: most stand-ins would sleep for a minute).
TEST_F(LauncherTest, GarbageEndsAndStallsAreCancelledAndTheProgramKilled) {
    struct Case {
        std::string body;
        std::string reason;
        bool garbage = true;
        std::chrono::milliseconds startTimeout = std::chrono::seconds(30);
        std::string start = "";
    };
    std::string const wrongCodec =
        R"({"format":"vireo-codec-settings","version":1,"codec":"avc1","options":{}})";
    std::vector<Case> const cases = {
        {"echo ready; echo hello; sleep 60", "\"hello\""},
        {"echo ready; printf 'accepted 5\\nabcde'; sleep 60", "settings the codec cannot read"},
        {"echo ready; " + AcceptLines(wrongCodec) + "; sleep 60", "settings the codec cannot read"},
        {"echo ready; echo 'accepted 99999'; sleep 60", "accepted 99999"},
        {"echo ready; echo 'accepted -1'; sleep 60", "accepted -1"},
        {"echo ready; head -c 300 /dev/zero | tr '\\000' x; sleep 60", "a line longer than"},
        {"echo ready; while :; do echo raised; done", "bytes of output"},
        // The program's arguments and input come back as the reason of a garbage answer.
        {"echo ready; printf 'args %s %s|' \"$1\" \"$2\"; cat; echo",
         "args --codec apch|start-bytes", true, std::chrono::seconds(30), "start-bytes"},
        {"echo 'it broke' >&2; exit 3", "exit status 3", false},
        {"echo ready; kill -9 $$", "killed by signal 9", false},
        // Never shows its window.
        {"exec sleep 60", "showed no window", false, std::chrono::milliseconds(300)},
        // Closes its output and keeps running: killed after the grace.
        {"echo ready; exec >&-; exec sleep 60", "killed by signal 9", false},
    };
    int request = 0;
    for (auto const& c : cases) {
        SCOPED_TRACE(c.body);
        cs::LauncherOptions options = TestOptions(Script(c.body), diagnostics);
        options.startTimeout = c.startTimeout;
        options.exitGrace = std::chrono::milliseconds(200);
        cs::DialogLauncher launcher(options);
        launcher.Show(1, kProRes, Bytes(c.start), outcomes.For(++request));
        auto outcome = outcomes.WaitFor(request);
        ASSERT_TRUE(outcome);
        EXPECT_FALSE(outcome->accepted);
        EXPECT_NE(outcome->reason.find(c.reason), std::string::npos) << outcome->reason;
        EXPECT_EQ(outcome->reason.find("garbage") != std::string::npos, c.garbage);
        EXPECT_TRUE(vireo::test::WaitUntil([&] { return launcher.RunningPrograms() == 0; },
                                           Scaled(std::chrono::seconds(20))));
    }
    EXPECT_TRUE(diagnostics.Contains("it broke"));  // the program's own words are kept
}

// A stand-in that shows its "window" until told otherwise: SIGUSR1 (a raise) makes it accept.
// Before "ready" it has no handler, so a raise sent too early would end it.
std::string const kRaisable = "sleep 0.3; accept() { " + AcceptLines(kProResSettings) +
                              "; exit 0; }; trap accept USR1; echo ready; "
                              "while :; do sleep 0.05; done";

TEST_F(LauncherTest, ARaiseReachesTheProgramOnlyOnceItIsReady) {
    cs::DialogLauncher launcher(TestOptions(Script(kRaisable), diagnostics));
    launcher.Show(1, kProRes, {}, outcomes.For(1));
    launcher.BringToForeground(1);  // before "ready": kept until then
    launcher.BringToForeground(2);  // no dialog for this session: nothing
    auto outcome = outcomes.WaitFor(1);
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->accepted) << outcome->reason;
}

TEST_F(LauncherTest, OneDialogPerSessionABoundOverallAndCallbacksThatThrow) {
    // A stand-in that shows its "window" until closed; like the real program it takes a raise
    // (which a second request of its session sends) without ending.
    std::string const waiting = Script("trap : USR1; echo ready; while :; do sleep 0.05; done");
    cs::LauncherOptions options = TestOptions(waiting, diagnostics);
    options.maxDialogs = 2;
    pid_t last = 0;
    {
        cs::DialogLauncher launcher(options);
        // A callback that throws does not stop the launcher.
        launcher.Show(7, MakeFourCC("2vuy"), {}, [](cs::DialogOutcome const&) {
            throw std::runtime_error("callback failure");
        });
        launcher.Show(1, kProRes, {}, outcomes.For(1));
        pid_t const first = WaitForDialogProcess(launcher, 1);
        ASSERT_NE(first, 0);
        // A second request of the same session is cancelled at once; the first stays open.
        launcher.Show(1, kH264, {}, outcomes.For(2));
        auto second = outcomes.WaitFor(2);
        ASSERT_TRUE(second);
        EXPECT_FALSE(second->accepted);
        EXPECT_NE(second->reason.find("open already"), std::string::npos);
        EXPECT_EQ(launcher.DialogProcessId(1), first);
        // Another session has a dialog of its own, up to the bound.
        launcher.Show(2, kH264, {}, outcomes.For(3));
        last = WaitForDialogProcess(launcher, 2);
        EXPECT_NE(last, 0);
        launcher.Show(3, kH264, {}, outcomes.For(4));
        auto fourth = outcomes.WaitFor(4);
        ASSERT_TRUE(fourth);
        EXPECT_NE(fourth->reason.find("running already"), std::string::npos);

        // The end of a session closes its dialog only.
        launcher.EndSession(1);
        auto first_outcome = outcomes.WaitFor(1);
        ASSERT_TRUE(first_outcome);
        EXPECT_FALSE(first_outcome->accepted);
        EXPECT_NE(first_outcome->reason.find("session ended"), std::string::npos);
        EXPECT_TRUE(vireo::test::WaitForProcessExit(first, Scaled(std::chrono::seconds(20))));
        EXPECT_EQ(outcomes.Calls(3), 0);
        EXPECT_NE(launcher.DialogProcessId(2), 0);
    }
    // Destroying the launcher closes the rest, answered once each, and ends their programs.
    EXPECT_FALSE(vireo::test::IsProcessRunning(last));
    auto third = outcomes.WaitFor(3, std::chrono::milliseconds(0));
    ASSERT_TRUE(third);
    EXPECT_NE(third->reason.find("stopping"), std::string::npos);
    for (int request : {1, 2, 3, 4}) {
        EXPECT_EQ(outcomes.Calls(request), 1) << request;
    }
}

}  // namespace
}  // namespace vireo::test::codecsettings
