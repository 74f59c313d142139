// The console report of the video-output components: exact text, number formats and flushes.
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
using basekit::UTF16String;

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

std::string const kRule = std::string(51, '-') + "\n";

TEST(ConsoleReport, NoComponentsGiveTheCountAndAnEmptyLine) {
    Report const report = MakeReport(std::vector<vout::Component>());
    EXPECT_EQ(report.text,
              "VireoClient->GetQTVOutComponents returned a container of 0 components\n\n");
    EXPECT_EQ(report.flushes, 2);
}

TEST(ConsoleReport, ListsEveryComponentWithItsModesAndNumberFormats) {
    std::vector<vout::Component> components(3);
    components[0].mVOutComponentName = "Display 0: Xvfb";
    components[0].mDisplayModes.push_back(
        Mode("1280 x 720 @ 60 Hz, 32-bit (RGB888)", 1280, 720, 72.0f, 59.94f, 32));
    components[0].mDisplayModes.push_back(Mode("640 x 480", 640, 480, 96.5f, 60.0f, -5));
    components[1].mVOutComponentName = "Capture";  // no modes
    components[2].mVOutComponentName = "Caf\xC3\xA9 \xE2\x86\x92 out";
    components[2].mDisplayModes.push_back(Mode("M\xC3\xBC", 1, 2, 0.1f, 1234567.0f, 1111970369));

    Report const report = MakeReport(components);
    std::string const expected =
        "VireoClient->GetQTVOutComponents returned a container of 3 components\n"
        "Component [0] - Display 0: Xvfb\n"
        "Display Modes Total [2] - \n" +
        kRule +
        "Display Mode 1280 x 720 @ 60 Hz, 32-bit (RGB888) - [ 0 ]\n"
        "Display Width - 1280\n"
        "Display Height - 720\n"
        "Display Resolution X (float) - 72\n"
        "Display Resolution Y (float) - 144\n"
        "Display Refresh (float) - 59.94\n"
        "Display PixelType (QT) - 32\n" +
        kRule +
        "Display Mode 640 x 480 - [ 1 ]\n"
        "Display Width - 640\n"
        "Display Height - 480\n"
        "Display Resolution X (float) - 96.5\n"
        "Display Resolution Y (float) - 193\n"
        "Display Refresh (float) - 60\n"
        "Display PixelType (QT) - -5\n"
        "Component [1] - Capture\n"
        "Display Modes Total [0] - \n"
        "Component [2] - Caf\xC3\xA9 \xE2\x86\x92 out\n"
        "Display Modes Total [1] - \n" +
        kRule +
        "Display Mode M\xC3\xBC - [ 0 ]\n"
        "Display Width - 1\n"
        "Display Height - 2\n"
        "Display Resolution X (float) - 0.1\n"
        "Display Resolution Y (float) - 0.2\n"
        "Display Refresh (float) - 1.23457e+06\n"
        "Display PixelType (QT) - 1111970369\n"
        "\n";
    EXPECT_EQ(report.text, expected);
    // The first line, two per component, one per mode and the last line are flushed.
    EXPECT_EQ(report.flushes, 1 + 2 * 3 + 3 + 1);
}

TEST(ConsoleReport, FloatsFollowTheStreamsSettings) {
    std::vector<vout::Component> components(1);
    components[0].mVOutComponentName = "A";
    components[0].mDisplayModes.push_back(Mode("m", 8, 8, 72.0f, 59.94f, 0));
    Report const report = MakeReport(components, [](basekit::console::OutputStream& output) {
        output << std::fixed;
        output.precision(3);
    });
    EXPECT_NE(report.text.find("Display Refresh (float) - 59.940\n"), std::string::npos)
        << report.text;
    EXPECT_NE(report.text.find("Display Resolution X (float) - 72.000\n"), std::string::npos);
    EXPECT_NE(report.text.find("Display Width - 8\n"), std::string::npos);
}

}  // namespace
}  // namespace vireo::test::vout
