// The real dialog program under an X server, started by the launcher as the server starts it and
// driven with the keyboard through xdotool: starting values, raising, and every way a dialog can
// close (cancelling through the whole bridge is in BridgeTest). Skipped without a display or
// xdotool.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "CodecSettingsTestPaths.h"
#include "DialogTestSupport.h"
#include "TestSupport.h"
#include "TimeScale.h"
#include "engine/FourCC.h"

namespace vireo::test::codecsettings {
namespace {

using engine::MakeFourCC;

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!CanDriveDialogs(why)) {
            GTEST_SKIP() << why;
        }
    }

    Diagnostics diagnostics;
    Outcomes outcomes;
};

// Shows the dialog of `codec` for `session` and returns its window ("" on failure).
std::string Open(cs::DialogLauncher& launcher, Outcomes& outcomes, int request,
                 cs::SessionKey session, std::uint32_t codec,
                 std::vector<std::uint8_t> start = {}) {
    launcher.Show(session, codec, std::move(start), outcomes.For(request));
    pid_t const pid = WaitForDialogProcess(launcher, session);
    if (pid == 0) {
        return std::string();
    }
    return Desktop::WindowOf(pid);
}

TEST_F(DialogTest, StartingValuesRoundTrip) {
    struct Case {
        std::uint32_t codec;
        std::string start;
        std::map<std::string, std::string> choices;
        std::map<std::string, std::int64_t> numbers;
    };
    std::vector<Case> const cases = {
        // Options not given start at their defaults.
        {MakeFourCC("png "),
         R"({"format":"vireo-codec-settings","version":1,"codec":"png ","options":{"prediction":"up"}})",
         {{"prediction", "up"}},
         {{"compression", 6}}},
        // Unreadable starting data (here: another codec's) shows the defaults.
        {MakeFourCC("jpeg"),
         R"({"format":"vireo-codec-settings","version":1,"codec":"png ","options":{}})",
         {{"chroma", "4:2:2"}},
         {}},
    };
    cs::DialogLauncher launcher(TestOptions(DialogProgram(), diagnostics));
    int request = 0;
    for (auto const& c : cases) {
        ++request;
        std::string const window =
            Open(launcher, outcomes, request, request, c.codec, Bytes(c.start));
        ASSERT_FALSE(window.empty()) << c.start;
        ASSERT_TRUE(Desktop::Focus(window));
        ASSERT_TRUE(Desktop::Keys({"Return"}));
        auto outcome = outcomes.WaitFor(request);
        ASSERT_TRUE(outcome);
        ASSERT_TRUE(outcome->accepted) << outcome->reason;
        ex::CodecSettings const back = ReadBack(c.codec, outcome->privateData);
        // The dialog writes every option, so the data means the same whatever the defaults
        // become later.
        EXPECT_EQ(back.options.size(), ex::CodecOptions(c.codec).size());
        for (auto const& [name, value] : c.choices) {
            EXPECT_EQ(back.Choice(name), value) << name << " in " << c.start;
        }
        for (auto const& [name, value] : c.numbers) {
            EXPECT_EQ(back.Number(name), value) << name << " in " << c.start;
        }
    }
}

TEST_F(DialogTest, RaisesAndEveryWayADialogClosesAnswersOnce) {
    std::map<int, std::string> windows;
    pid_t killedPid = 0;
    {
        cs::DialogLauncher launcher(TestOptions(DialogProgram(), diagnostics));
        for (int session = 1; session <= 4; ++session) {
            windows[session] = Open(launcher, outcomes, session, session, MakeFourCC("rle "));
            ASSERT_FALSE(windows[session].empty());
        }
        // A raise brings the session's dialog to the keyboard, and so does a second request of
        // a session with one open (that request is cancelled at once).
        ASSERT_TRUE(Desktop::Focus(windows[2]));
        launcher.BringToForeground(1);
        EXPECT_TRUE(vireo::test::WaitUntil([&] { return Desktop::FocusedWindow() == windows[1]; },
                                           Scaled(std::chrono::seconds(20))));
        launcher.Show(2, MakeFourCC("jpeg"), {}, outcomes.For(5));
        auto second = outcomes.WaitFor(5);
        ASSERT_TRUE(second);
        EXPECT_FALSE(second->accepted);
        EXPECT_TRUE(vireo::test::WaitUntil([&] { return Desktop::FocusedWindow() == windows[2]; },
                                           Scaled(std::chrono::seconds(20))));
        EXPECT_EQ(outcomes.Calls(1) + outcomes.Calls(2), 0);

        // The session ends: its window goes.
        launcher.EndSession(1);
        auto ended = outcomes.WaitFor(1);
        ASSERT_TRUE(ended);
        EXPECT_NE(ended->reason.find("session ended"), std::string::npos);
        EXPECT_TRUE(vireo::test::WaitUntil([&] { return !Desktop::WindowExists(windows[1]); },
                                           Scaled(std::chrono::seconds(20))));
        // The X server drops the program (a window manager's "kill").
        ASSERT_TRUE(Desktop::KillClient(windows[2]));
        auto dropped = outcomes.WaitFor(2);
        ASSERT_TRUE(dropped);
        EXPECT_FALSE(dropped->accepted);
        EXPECT_NE(dropped->reason.find("without answering"), std::string::npos) << dropped->reason;
        // The program is killed.
        killedPid = pid_t(launcher.DialogProcessId(3));
        ASSERT_NE(killedPid, 0);
        ::kill(killedPid, SIGKILL);
        auto killed = outcomes.WaitFor(3);
        ASSERT_TRUE(killed);
        EXPECT_NE(killed->reason.find("killed by signal 9"), std::string::npos) << killed->reason;
    }
    // The launcher is gone: so is the last window.
    auto last = outcomes.WaitFor(4, std::chrono::milliseconds(0));
    ASSERT_TRUE(last);
    EXPECT_NE(last->reason.find("stopping"), std::string::npos);
    EXPECT_FALSE(Desktop::WindowExists(windows[4]));
    for (int request = 1; request <= 5; ++request) {
        EXPECT_EQ(outcomes.Calls(request), 1) << request;
    }
}

TEST_F(DialogTest, TheDialogDiesWithTheServer) {
    vireo::test::TempDir dir("vireo-dying");
    std::string const go = dir.Path() + "/go";
    std::string const command = std::string("'") + VIREO_TEST_DYING_SERVER + "' '" +
                                DialogProgram() + "' 'AVdn' '" + go + "'";
    FILE* server = ::popen(command.c_str(), "r");
    ASSERT_NE(server, nullptr);
    long long pid = 0;
    ASSERT_EQ(std::fscanf(server, "%lld", &pid), 1);
    ASSERT_GT(pid, 0);
    std::string const window = Desktop::WindowOf(pid_t(pid));
    EXPECT_FALSE(window.empty());
    { std::ofstream(go) << "go"; }
    ::pclose(server);
    EXPECT_TRUE(vireo::test::WaitUntil([&] { return !Desktop::WindowExists(window); },
                                       Scaled(std::chrono::seconds(20))));
    EXPECT_TRUE(vireo::test::WaitForProcessExit(pid_t(pid), Scaled(std::chrono::seconds(20))));
}

}  // namespace
}  // namespace vireo::test::codecsettings
