// The console report of the video-output components: what only the report itself shows (its
// exact text is shown through the library's console command, in ScriptedBridgeTest).
#include <gtest/gtest.h>

#include <iomanip>
#include <string>

#include "basekit/console/OutputStream.h"
#include "basekit/utility/Text.h"
#include "vout/ConsoleReport.h"
#include "vout/Records.h"

namespace vireo::test::vout {
namespace {

namespace vout = ::vireo::server::vout;

TEST(ConsoleReport, FlushesEveryLineAndKeepsTheStreamsFloatSettings) {
    auto report = [](std::vector<vout::Component> const& components, bool fixed) {
        basekit::console::StringOutputStream output;
        if (fixed) {
            output << std::fixed;
            output.precision(3);
        }
        vout::WriteComponentReport(components, output);
        return std::make_pair(basekit::utility::UTF16to8(output.str()), output.Flushes());
    };
    EXPECT_EQ(report({}, false).second, 2);

    std::vector<vout::Component> components(2);
    components[0].mDisplayModes.resize(2);
    components[0].mDisplayModes[0].mRefresh_Float = 59.94f;
    components[0].mDisplayModes[0].mWidth = 8;
    // The first line, two per component, one per mode and the last line are flushed.
    EXPECT_EQ(report(components, false).second, 1 + 2 * 2 + 2 + 1);
    std::string const fixed = report(components, true).first;
    EXPECT_NE(fixed.find("Display Refresh (float) - 59.940\n"), std::string::npos) << fixed;
    EXPECT_NE(fixed.find("Display Width - 8\n"), std::string::npos) << fixed;
}

}  // namespace
}  // namespace vireo::test::vout
