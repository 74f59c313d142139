// Debug settings, assertion and contract reports, errors, the console registry and its output
// stream, and the application type.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "basekit/config/Error.h"
#include "basekit/console/Command.h"
#include "basekit/debug/Debug.h"
#include "basekit/debug/DebugDatabase.h"

using basekit::UTF16String;
using basekit::UTF8String;
namespace debug = basekit::debug;
namespace console = basekit::console;
namespace config = basekit::config;

namespace vireo::test::foundation {

TEST(DebugDatabase, ReadsTheSettingsFileOnceAndSettersWin) {
    char path[] = "/tmp/vireo_settings_XXXXXX";
    ::close(::mkstemp(path));
    std::ofstream(path) << "# time-outs\n"
                           "  VireoServerManager.StartupTimeout = 1500 \r\n"
                           "\n"
                           "no separator here\n"
                           "QT.DisableVireo=\n"
                           "Twice=1\n"
                           "Twice=2\n";
    auto& db = debug::DebugDatabase::Instance();
    ::setenv(debug::DebugDatabase::kSettingsFileVariable, path, 1);
    db.Reset();
    EXPECT_EQ(db.GetEntry("VireoServerManager.StartupTimeout", "30000"), "1500");
    EXPECT_TRUE(db.HasEntry("QT.DisableVireo"));
    EXPECT_EQ(db.GetEntry("QT.DisableVireo", "x"), "");
    EXPECT_EQ(db.GetEntry("Twice", ""), "2");
    EXPECT_FALSE(db.HasEntry("no separator here"));

    db.SetEntry("Twice", "3");
    EXPECT_EQ(db.GetEntry("Twice", ""), "3");
    db.RemoveEntry("VireoServerManager.StartupTimeout");
    EXPECT_EQ(db.GetEntry("VireoServerManager.StartupTimeout", "30000"), "30000");

    ::unsetenv(debug::DebugDatabase::kSettingsFileVariable);
    db.Reset();
    EXPECT_FALSE(db.HasEntry("Twice"));
    ::unlink(path);
}

TEST(DebugReports, HandlerDecidesBreakAndCanSilenceTheSite) {
    std::atomic<int> calls{0};
    auto previous = debug::SetReportHandler([&](debug::Report const& r) {
        ++calls;
        EXPECT_EQ(r.kind, debug::ReportKind::kAssertion);
        EXPECT_STREQ(r.condition, "false");
        EXPECT_EQ(r.line, 203);
        *r.ignore = true;  // silence this site from now on
        return true;
    });
    bool ignore = false;
    EXPECT_TRUE(debug::BreakAfterAssertDialog(ignore, "false", "Unable to launch x\r\n", "file",
                                              203, "fn", true));
    EXPECT_TRUE(ignore);
    EXPECT_FALSE(debug::BreakAfterAssertDialog(ignore, "false", "again", "file", 203, "fn", true));
    EXPECT_EQ(calls.load(), 1);
    debug::SetReportHandler(previous);

    // Without a handler: printed, no break asked for.
    bool quiet = false;
    EXPECT_FALSE(
        debug::BreakAfterContractDialog(quiet, "cond", UTF8String(), "file", 1, "fn", false));
    EXPECT_FALSE(quiet);
    EXPECT_FALSE(debug::IsDebuggerAttached());
}

TEST(Errors, ThrowErrorReportsAndThrowsTheShownText) {
    std::vector<UTF8String> reported;
    auto previous =
        config::SetErrorHandler([&](config::Error const& e) { reported.push_back(e.what()); });
    try {
        config::ThrowError(config::kErrorLevelWarning, "$$$/x/y=Cannot open ^0 (^1), ^^2", 7, 9,
                           true, "a.mov", std::int64_t{-3});
    } catch (config::Error const& e) {
        EXPECT_STREQ(e.what(), "Cannot open a.mov (-3), ^2");
        EXPECT_EQ(e.GetKey(), "$$$/x/y=Cannot open ^0 (^1), ^^2");
        EXPECT_EQ(e.GetLevel(), config::kErrorLevelWarning);
    }
    EXPECT_THROW(config::ThrowError(config::kErrorLevelError, "plain ^3", 1, 2, false),
                 std::runtime_error);
    config::SetErrorHandler(previous);
    ASSERT_EQ(reported.size(), 1u);  // the second one was not to be reported
    EXPECT_EQ(config::FormatErrorMessage("plain ^3"), "plain ^3");
}

namespace {

std::atomic<int> gLiveCommands{0};

class EchoCommand : public console::Command {
  public:
    EchoCommand(UTF16String const& name, UTF16String const& help) : Command(name, help) {
        ++gLiveCommands;
    }
    ~EchoCommand() override { --gLiveCommands; }
    void Execute(std::vector<UTF16String> const& args, console::OutputStream& out) override {
        out << GetName() << u" " << args.size() << '\n';
        for (auto const& a : args) {
            out << a << std::endl;
        }
    }
};

class ThrowingCommand : public console::Command {
  public:
    using Command::Command;
    void Execute(std::vector<UTF16String> const&, console::OutputStream& out) override {
        out << u"partial" << '\n';
        throw std::runtime_error("boom");
    }
};

console::Command* MakeEcho(UTF16String const& n, UTF16String const& h) {
    return new EchoCommand(n, h);
}
console::Command* MakeThrowing(UTF16String const& n, UTF16String const& h) {
    return new ThrowingCommand(n, h);
}
console::Command* MakeNothing(UTF16String const&, UTF16String const&) {
    return nullptr;
}

}  // namespace

TEST(Console, RegistersRunsAndReplacesCommands) {
    using console::CommandRegistry;
    EXPECT_TRUE(CommandRegistry::RegisterCommand(u"Test.Echo", u"first help", &MakeThrowing));
    EXPECT_TRUE(CommandRegistry::RegisterCommand(u"Test.Echo", u"echoes", &MakeEcho));
    EXPECT_FALSE(CommandRegistry::RegisterCommand(u"", u"x", &MakeEcho));
    EXPECT_FALSE(CommandRegistry::RegisterCommand(u"Test.Null", u"x", nullptr));
    EXPECT_EQ(CommandRegistry::GetHelp(u"Test.Echo"), u"echoes");

    UTF16String output;
    EXPECT_EQ(CommandRegistry::RunCommandLine(u"  Test.Echo one\ttwo ", output),
              console::kCommandSucceeded);
    EXPECT_EQ(output, u"Test.Echo 2\none\ntwo\n");
    EXPECT_EQ(gLiveCommands.load(), 0);  // made for the run and deleted after it

    EXPECT_EQ(CommandRegistry::RunCommand(u"Test.Missing", {}, output), console::kCommandNotFound);
    EXPECT_EQ(output, u"unknown command: Test.Missing\n");

    CommandRegistry::RegisterCommand(u"Test.Throw", u"", &MakeThrowing);
    EXPECT_EQ(CommandRegistry::RunCommand(u"Test.Throw", {}, output), console::kCommandFailed);
    EXPECT_EQ(output, u"partial\nerror: boom\n");

    CommandRegistry::RegisterCommand(u"Test.Null", u"", &MakeNothing);
    EXPECT_EQ(CommandRegistry::RunCommand(u"Test.Null", {}, output), console::kCommandNotCreated);

    for (auto const* name : {u"Test.Echo", u"Test.Throw", u"Test.Null"}) {
        EXPECT_TRUE(CommandRegistry::UnregisterCommand(name));
    }
    EXPECT_FALSE(CommandRegistry::HasCommand(u"Test.Echo"));
}

TEST(Console, OutputStreamFormatsNumbersLikeTheCLocale) {
    console::StringOutputStream out;
    out << std::uint64_t{0} << u" [" << std::uint32_t{7} << u"] " << std::int32_t{-42} << ' '
        << 59.94f << ' ' << 60.0f << ' ' << 0.1f << '\n';
    out.width(6);
    out.fill(u'*');
    out << 42 << u"|" << std::left;
    out.width(4);
    out << -1 << u"|" << std::hex << std::showbase << 255 << std::endl;
    EXPECT_FALSE(out.bad());
    EXPECT_EQ(out.str(), u"0 [7] -42 59.94 60 0.1\n****42|-1**|0xff\n");
}

}  // namespace vireo::test::foundation
