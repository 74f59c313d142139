// The console report of the video-output components: flushes, UTF-8 names and number formats.
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

struct Report {
    std::string text;
    int flushes = 0;
};

template <class Components>
Report MakeReport(Components const& components,
                  void (*setup)(basekit::console::OutputStream&) = nullptr) {
    basekit::console::StringOutputStream output;
    if (setup != nullptr) {
        setup(output);
    }
    vout::WriteComponentReport(components, output);
    return Report{basekit::utility::UTF16to8(output.str()), output.Flushes()};
}

vout::DisplayModeInfo Mode(std::string name, int width, int height, float resolution, float refresh,
                           int pixelType) {
    vout::DisplayModeInfo mode;
    mode.mDisplayModeName = std::move(name);
    mode.mWidth = width;
    mode.mHeight = height;
    mode.mResolution_XFloat = resolution;
    mode.mResolution_YFloat = resolution * 2;
    mode.mRefresh_Float = refresh;
    mode.mQTPixelType = pixelType;
    // Never printed.
    mode.mResolution_XFixed = 111;
    mode.mQTAtomIDForMode = 222;
    mode.mDisplayModeID = 333;
    return mode;
}

// The exact text of a list is shown through the library's console command
// (ScriptedBridgeTest); here: what only the report itself shows.
TEST(ConsoleReport, FlushesPerLineUTF8NamesAndTheStreamsFloatSettings) {
    EXPECT_EQ(MakeReport(std::vector<vout::Component>()).flushes, 2);

    std::vector<vout::Component> components(2);
    components[0].mVOutComponentName = "Caf\xC3\xA9 \xE2\x86\x92 out";
    components[0].mDisplayModes.push_back(Mode("M\xC3\xBC", 8, 8, 72.0f, 59.94f, 0));
    components[0].mDisplayModes.push_back(Mode("big", 1, 2, 0.1f, 1234567.0f, 1111970369));
    components[1].mVOutComponentName = "Capture";  // no modes
    Report const plain = MakeReport(components);
    EXPECT_NE(plain.text.find("Component [0] - Caf\xC3\xA9 \xE2\x86\x92 out\n"
                              "Display Modes Total [2] - \n"),
              std::string::npos)
        << plain.text;
    EXPECT_NE(plain.text.find("Display Mode M\xC3\xBC - [ 0 ]\n"), std::string::npos);
    EXPECT_NE(plain.text.find("Display Refresh (float) - 1.23457e+06\n"), std::string::npos);
    // The first line, two per component, one per mode and the last line are flushed.
    EXPECT_EQ(plain.flushes, 1 + 2 * 2 + 2 + 1);

    Report const fixed = MakeReport(components, [](basekit::console::OutputStream& output) {
        output << std::fixed;
        output.precision(3);
    });
    EXPECT_NE(fixed.text.find("Display Refresh (float) - 59.940\n"), std::string::npos)
        << fixed.text;
    EXPECT_NE(fixed.text.find("Display Width - 8\n"), std::string::npos);
}

}  // namespace
}  // namespace vireo::test::vout
