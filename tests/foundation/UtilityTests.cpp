// The integer parser, process facts and reports of caught failures.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "TimeScale.h"
#include "basekit/debug/Debug.h"
#include "basekit/debug/Failure.h"
#include "basekit/utility/Parse.h"
#include "basekit/utility/Process.h"

using namespace basekit::utility;

namespace vireo::test::foundation {

TEST(Parse, WholeTextLeadingAndEnvironmentIntegers) {
    std::int64_t v = 7;
    EXPECT_TRUE(ParseInteger("-42", v));
    EXPECT_EQ(v, -42);
    EXPECT_TRUE(ParseInteger("+9223372036854775807", v));
    EXPECT_EQ(v, INT64_MAX);
    for (auto const* bad : {"", " 1", "1 ", "1x", "+", "-", "+-1", "9223372036854775808", "0x10"}) {
        v = 7;
        EXPECT_FALSE(ParseInteger(bad, v)) << bad;
        EXPECT_EQ(v, 7) << bad;
    }
    std::uint32_t u = 0;
    EXPECT_FALSE(ParseInteger("-1", u));
    EXPECT_FALSE(ParseInteger("4294967296", u));
    EXPECT_TRUE(ParseInteger("4294967295", u));
    EXPECT_EQ(u, 4294967295u);

    // The leading integer follows the stream rules.
    EXPECT_EQ(ParseLeadingInt32("30000"), 30000);
    EXPECT_EQ(ParseLeadingInt32("  \t25ms"), 25);
    EXPECT_EQ(ParseLeadingInt32("-5"), -5);
    EXPECT_EQ(ParseLeadingInt32("abc"), 0);
    EXPECT_EQ(ParseLeadingInt32(""), 0);
    EXPECT_EQ(ParseLeadingInt32("2147483648"), 0);
    EXPECT_EQ(ParseLeadingInt32("-2147483648"), INT32_MIN);

    // An environment integer falls back outside its range.
    ::setenv("VIREO_TEST_PARSE", "250", 1);
    EXPECT_EQ(EnvironmentInteger("VIREO_TEST_PARSE", 9, 0, 1000), 250);
    EXPECT_EQ(EnvironmentInteger("VIREO_TEST_PARSE", 9, 0, 100), 9);
    ::setenv("VIREO_TEST_PARSE", "25 ", 1);
    EXPECT_EQ(EnvironmentInteger("VIREO_TEST_PARSE", 9, 0, 1000), 9);
    ::unsetenv("VIREO_TEST_PARSE");
    EXPECT_EQ(EnvironmentInteger("VIREO_TEST_PARSE", 9, 0, 1000), 9);
}

TEST(Process, ZombiesAndReapedChildrenAreGone) {
    EXPECT_TRUE(IsProcessAlive(::getpid()));
    EXPECT_NE(ProcessStartTime(::getpid()), 0u);
    EXPECT_EQ(ProcessUserID(::getpid()), static_cast<std::int64_t>(::getuid()));
    pid_t const child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    // Until it is reaped the child is a zombie: not alive for us.
    for (int i = 0; i < vireo::test::ScaledMs(1000) / 5 && IsProcessAlive(child); ++i) {
        ::usleep(5000);
    }
    EXPECT_FALSE(IsProcessAlive(child));
    ::waitpid(child, nullptr, 0);
    EXPECT_FALSE(IsProcessAlive(child));
    EXPECT_EQ(ProcessStartTime(child), 0u);
    EXPECT_FALSE(IsProcessAlive(0));
    EXPECT_FALSE(IsProcessAlive(-1));
    EXPECT_FALSE(IsProcessAlive(std::int64_t(1) << 40));
}

TEST(Failure, CaughtExceptionsReachTheReportHandlerWithTheirPlace) {
    std::vector<basekit::debug::Report> reports;
    std::vector<std::string> messages;
    auto previous = basekit::debug::SetReportHandler([&](basekit::debug::Report const& report) {
        reports.push_back(report);
        messages.push_back(report.message);
        return false;
    });
    for (int i = 0; i < 2; ++i) {
        try {
            throw std::runtime_error("disk on fire");
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("writing the movie");
        }
    }
    try {
        throw 42;
    } catch (...) {
        BASEKIT_REPORT_CAUGHT("counting");
    }
    basekit::debug::SetReportHandler(previous);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0].kind, basekit::debug::ReportKind::kFailure);
    EXPECT_STREQ(reports[0].condition, "writing the movie");
    EXPECT_EQ(messages[0], "disk on fire");
    EXPECT_NE(std::string(reports[0].file).find("UtilityTests.cpp"), std::string::npos);
    EXPECT_GT(reports[0].line, 0);
    EXPECT_EQ(messages[2], "unknown exception");
    EXPECT_EQ(basekit::debug::CurrentExceptionText(), "no exception");
}

}  // namespace vireo::test::foundation
