// Operations of the codec-settings, video-output and file services. Until those services
// are built they behave as they do when no server is connected: nothing is sent, asynchronous
// operations return false and never call back, synchronous ones leave their out-parameters as
// they are.
#include "VireoClientImpl.h"

namespace VireoClient {

using basekit::utility::Guid;

bool VireoClient::DisplayVideoCodecPrefsDialog(VireoServer::VireoVideoCodecDialogData const&,
                                               CodecDialogCallback const&) {
    TakeRPCClient();
    return false;
}

void VireoClient::ConvertQTAtomContainerSettingsToCodecSettings(
    VireoServer::VireoConvertCodecSettingsData&) {
    TakeRPCClient();
}

void VireoClient::BringVideoCodecDialogToForeground() {
    TakeRPCClient();
}

bool VireoClient::GetExternalReferencesList(basekit::UTF16String const&,
                                            ReferenceListCallback const&) {
    TakeRPCClient();
    return false;
}

bool VireoClient::TrimMovie(VireoServer::TrimMovieParams const&, TrimCallback const&) {
    TakeRPCClient();
    return false;
}

void VireoClient::GetQTVOutComponents(std::vector<VireoServer::QTVOutComponent>&) {
    TakeRPCClient();
}
void VireoClient::QTVOutBeginUsingComponent(VireoServer::QTVOutUseComponentData&) {
    TakeRPCClient();
}
void VireoClient::QTVOutGetActiveDisplayModeData(VireoServer::QTVGetActiveDisplayModeData&) {
    TakeRPCClient();
}
void VireoClient::QTVOutBeginBlitting(InterfaceRef<Kino::IVideoFrame>,
                                      VireoServer::QTVOutOperationResult&) {
    TakeRPCClient();
}
void VireoClient::QTVOutBlitFrame(InterfaceRef<Kino::IVideoFrame>,
                                  VireoServer::QTVOutOperationResult&) {
    TakeRPCClient();
}
void VireoClient::QTVOutEndBlitting(VireoServer::QTVOutOperationResult&) {
    TakeRPCClient();
}
void VireoClient::QTVOutEndUsingComponent(VireoServer::QTVOutOperationResult&) {
    TakeRPCClient();
}

}  // namespace VireoClient
