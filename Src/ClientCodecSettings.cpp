// Codec settings: the codec's settings dialog (shown by the server), raising it, and the
// conversion of settings stored as a QuickTime atom container.
//
// Windows lets the server's process take the foreground before each dialog request and each
// raise; Linux has no such permission (a window is raised by its own program), so that step is
// nothing here: the server's dialog program raises itself when asked (docs/codec-settings.md).
#include "RequestPatterns.h"
#include "VireoClientImpl.h"
#include "VireoRecords/CodecSettingsRecordsWire.h"

namespace VireoClient {

using basekit::serialization::BuildCall;
using basekit::serialization::ToVariant;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantPtr;
using VireoServer::VireoConvertCodecSettingsData;
using VireoServer::VireoVideoCodecDialogData;

namespace {

// The record under "value" of an answer; the default record when there is none.
template <class Record>
Record ReadAnswerRecord(VariantPtr const& answer) {
    Record record;
    if (answer) {
        basekit::serialization::ReadRecord(*answer, "value", record);
    }
    return record;
}

}  // namespace

void VireoClient::DisplayVideoCodecPrefsDialog(VireoVideoCodecDialogData const& data,
                                               CodecDialogCallback const& onClosed) {
    VariantPtr const call =
        BuildCall("DisplayVideoCodecPrefsDialog", VariantArray{ToVariant(data)});
    auto rpc = TakeRPCClient();
    if (!rpc) {
        return;
    }
    InterfaceRef<VireoClient, IVireoClient> self = GetClientRef();
    // Runs on an RPC thread, exactly once per request. The flag is cleared after the callback,
    // even when the callback throws (reported, never passed on).
    auto finish = [self, onClosed](VireoVideoCodecDialogData const& outcome) {
        patterns::RunCallback([&] { onClosed(outcome); });
        self->mCodecDialogShowing = false;
    };
    mCodecDialogShowing = true;
    // A failed request (an error answer, or one that cannot be read) looks like a cancelled
    // dialog: the default record.
    patterns::AnswerOnce<VireoVideoCodecDialogData>(
        rpc, call, &ReadAnswerRecord<VireoVideoCodecDialogData>, finish,
        [finish] { finish(VireoVideoCodecDialogData()); });
}

void VireoClient::BringVideoCodecDialogToForeground() {
    if (!mCodecDialogShowing) {
        return;
    }
    patterns::Notify(TakeRPCClient(),
                     BuildCall("BringVideoCodecDialogToForeground", VariantArray()));
}

void VireoClient::ConvertQTAtomContainerSettingsToCodecSettings(
    VireoConvertCodecSettingsData& data) {
    VariantPtr const call =
        BuildCall("ConvertQTAtomContainerSettingsToCodecSettings", VariantArray{ToVariant(data)});
    // Whatever goes wrong (no server, an error answer, an answer that cannot be read, a call
    // refused on a handler thread), the caller ends with the default record, whose result code
    // 2 is the only sign of the failure: the caller's own fields never pass for an answer.
    VireoConvertCodecSettingsData result;
    auto rpc = TakeRPCClient();
    if (rpc &&
        !VIREO_REFUSE_BLOCKING_CALL("VireoClient::ConvertQTAtomContainerSettingsToCodecSettings")) {
        patterns::Synchronous<VireoConvertCodecSettingsData>(
            rpc, call, result, [](VariantPtr const& answer, VireoConvertCodecSettingsData& out) {
                out = ReadAnswerRecord<VireoConvertCodecSettingsData>(answer);
            });
    }
    data = result;
}

}  // namespace VireoClient
