// The other host process of the video-output bridge tests.
//
//   vout_bridge_peer APPLICATION
//     connects the shared client through the library's exports, takes the capture output for
//     APPLICATION, prints "<outcome> <application using it>" and holds it until its input ends
//     (or until it is killed), then gives it back.
#include <unistd.h>

#include <cstdio>

#include "VireoClient/VireoClient.h"
#include "basekit/utility/Text.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vout_bridge_peer APPLICATION\n");
        return 2;
    }
    auto client = VireoClient::Create();
    VireoServer::QTVOutUseComponentData data;
    data.mQTComponentDescription.mQTComponentDesc_componentType = 0x766F7574u;     // 'vout'
    data.mQTComponentDescription.mQTComponentDesc_componentSubType = 0x63617074u;  // 'capt'
    data.mQTAtomIDForDisplayMode = 1;
    data.mApplicationName = basekit::utility::UTF8to16(argv[1]);
    client->QTVOutBeginUsingComponent(data);
    std::printf("%d %s\n", int(data.mVOutOperationResult.mOperationResult),
                basekit::utility::UTF16to8(data.mVOutOperationResult.mApplicationUsingComponentName)
                    .c_str());
    std::fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    VireoServer::QTVOutOperationResult result;
    client->QTVOutEndUsingComponent(result);
    return result.mOperationResult == 0 ? 0 : 1;
}
