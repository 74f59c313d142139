// Operations of the export service. Until that service
// are built they behave as they do when no server is connected: nothing is sent, asynchronous
// operations return false and never call back, synchronous ones leave their out-parameters as
// they are.
#include "VireoClientImpl.h"

namespace VireoClient {

using basekit::utility::Guid;

namespace {
constexpr std::int32_t kStartExportNoAnswer = 3;
}

std::int32_t VireoClient::StartExport(Guid const&, VireoServer::StartExportData const&) {
    TakeRPCClient();
    return kStartExportNoAnswer;
}

bool VireoClient::CompressAndWriteFrame(Guid const&, Guid const&, std::uint32_t, std::uint32_t,
                                        bool, ExportFrameCallback const&) {
    TakeRPCClient();
    return false;
}

bool VireoClient::CompressAndWriteAudio(Guid const&, Guid const&, std::int64_t, std::int64_t,
                                        ExportAudioCallback const&) {
    TakeRPCClient();
    return false;
}

bool VireoClient::ExportServerProgressPulse(Guid const&, ExportProgressCallback const&) {
    TakeRPCClient();
    return false;
}

void VireoClient::ExportServerShouldCancel(Guid const&) {
    TakeRPCClient();
}

bool VireoClient::ExportCompleted(Guid const&, std::int32_t, ExportCompletionCallback const&) {
    TakeRPCClient();
    return false;
}

}

}  // namespace VireoClient
