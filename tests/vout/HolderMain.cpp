// The other process of the video-output tests.
//
//   vout_holder LOCK_DIR CAPTURE_DIR APPLICATION
//     takes the capture output for APPLICATION, prints "<outcome> <application using it>", then
//     holds it until its input ends, gives it back and exits 0 (1 when it had nothing to give).
//   vout_holder --display-loss LOCK_DIR CAPTURE_DIR
//     takes display 0 of $DISPLAY and shows a frame, prints "shown", waits for a line, then
//     (the display having been stopped meanwhile) blits again, gives the display back and lists
//     the components: prints "<blit outcome> <result code> <end outcome> <components listed>"
//     and exits 0 (not at all if a call hangs or the process is ended by the display's loss).
#include <cstring>
#include <iostream>
#include <string>

#include "VoutTestSupport.h"
#include "vout/VideoOutputs.h"

namespace {

namespace vout = vireo::server::vout;

int DisplayLoss(char const* lockDir, char const* captureDir) {
    vout::Settings settings;
    settings.lockDirectory = lockDir;
    settings.captureDirectory = captureDir;
    vout::VideoOutputs outputs(settings);
    std::vector<vout::Component> const components = outputs.GetComponents();
    if (components.size() < 2 || components[0].mDisplayModes.empty()) {
        std::cout << "no display" << std::endl;
        return 1;
    }
    vout::UseComponentData request;
    request.mQTComponentDescription = components[0].mQTComponentDescription;
    request.mDisplayModeID = components[0].mDisplayModes[0].mDisplayModeID;
    request.mApplicationName = "Loser";
    InterfaceRef<Kino::IVideoFrame> const frame =
        vireo::test::vout::MakePatternFrame(64, 64, Kino::kPixelFormat_BGRA, 0, 1);
    if (outputs.BeginUsingComponent(1, request).mVOutOperationResult.mOperationResult != 0 ||
        outputs.BeginBlitting(1, frame).mOperationResult != 0) {
        std::cout << "cannot show" << std::endl;
        return 1;
    }
    std::cout << "shown" << std::endl;
    std::string line;
    std::getline(std::cin, line);
    vout::OperationResult const blit = outputs.BlitFrame(1, frame);
    vout::OperationResult const end = outputs.EndUsingComponent(1);
    std::size_t const listed = outputs.GetComponents().size();
    std::cout << blit.mOperationResult << " " << blit.mQTResultCode << " " << end.mOperationResult
              << " " << listed << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--display-loss") == 0) {
        return DisplayLoss(argv[2], argv[3]);
    }
    if (argc != 4) {
        std::cerr << "usage: vout_holder LOCK_DIR CAPTURE_DIR APPLICATION\n"
                     "       vout_holder --display-loss LOCK_DIR CAPTURE_DIR\n";
        return 2;
    }
    vout::Settings settings;
    settings.lockDirectory = argv[1];
    settings.captureDirectory = argv[2];
    settings.useDisplays = false;
    vout::VideoOutputs outputs(settings);
    vout::UseComponentData const answer =
        outputs.BeginUsingComponent(1, vireo::test::vout::CaptureRequest(argv[3]));
    std::cout << answer.mVOutOperationResult.mOperationResult << " "
              << answer.mVOutOperationResult.mApplicationUsingComponentName << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return outputs.EndUsingComponent(1).mOperationResult == vout::kVOutOperationSucceeded ? 0 : 1;
}
