// A second process for the lock tests: takes the capture output for an application, prints
// "<outcome> <application using the component>", then holds it until its input ends.
//   vout_holder LOCK_DIR CAPTURE_DIR APPLICATION
#include <iostream>
#include <string>

#include "VoutTestSupport.h"
#include "vout/VideoOutputs.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: vout_holder LOCK_DIR CAPTURE_DIR APPLICATION\n";
        return 2;
    }
    namespace vout = vireo::server::vout;
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
