// The codec settings methods: a codec's settings dialog, raising it, and the conversion of
// settings stored as a QuickTime atom container.
//
// Handlers run on transport threads and never wait: the dialog is shown by the launcher (its
// own thread starts and watches the program and answers), the conversion runs on the worker
// pool. A session has at most one dialog; a second request while it is open raises the open one
// and is answered cancelled at once. A dialog closes (answered cancelled) when its session ends,
// and with the server.
#include <boost/any.hpp>
#include <memory>
#include <string>
#include <vector>

#include "Log.h"
#include "MethodGroups.h"
#include "VireoRecords/CodecSettingsRecordsWire.h"
#include "basekit/config/Error.h"
#include "basekit/serialization/JSONConvert.h"
#include "basekit/serialization/Variant.h"
#include "codecsettings/CodecSettingsErrors.h"
#include "codecsettings/ConvertSettings.h"
#include "codecsettings/DialogLauncher.h"

namespace vireo::server {

namespace {

namespace cs = vireo::server::codecsettings;
using basekit::serialization::MakeVariant;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantObject;
using basekit::serialization::VariantPtr;
using basemarshal::Responder;
using basetransport::SessionPtr;
using VireoServer::VireoConvertCodecSettingsData;
using VireoServer::VireoVideoCodecDialogData;

// {"value": record}
template <class Record>
VariantPtr RecordAnswer(Record const& record) {
    VariantObject result;
    result["value"] = MakeVariant(basekit::serialization::JSONConvert<Record>::ToJSON(record));
    return MakeVariant(result);
}

// The record that is the call's first argument. False, with the reason, when there is none or
// it cannot be read (a value of the wrong kind, private data that is not base64).
template <class Record>
bool ReadRecordArgument(VariantPtr const& params, Record& record, std::string& why) {
    auto const* array = params ? boost::any_cast<VariantArray>(params.get()) : nullptr;
    if (!array || array->empty() || !array->front()) {
        why = "no record argument";
        return false;
    }
    try {
        record = basekit::serialization::JSONConvert<Record>::FromJSON(*array->front());
        return true;
    } catch (boost::bad_any_cast const&) {
        why = "the record holds a value of the wrong kind";
    } catch (basekit::config::Error const&) {
        why = "the record's data is not base64 text";
    }
    return false;
}

struct CodecSettingsMethods {
    ServerContext& context;
    cs::DialogLauncher launcher;

    explicit CodecSettingsMethods(ServerContext& c) : context(c), launcher(Options()) {}

    static cs::LauncherOptions Options() {
        cs::LauncherOptions options;
        options.diagnostics = [](std::string const& line) {
            Log("codec dialog: %s", line.c_str());
        };
        return options;
    }

    // ---- DisplayVideoCodecPrefsDialog(VireoVideoCodecDialogData) -----------------------------
    // Answered when the dialog closes: the codec as asked, cancelled or not, and the accepted
    // private data, or the request's own data unchanged when cancelled.
    void ShowDialog(SessionPtr const& session, VariantPtr const& params,
                    Responder const& responder) {
        VireoVideoCodecDialogData request;
        std::string why;
        if (!ReadRecordArgument(params, request, why)) {
            responder.Error(basemarshal::kErrorInvalidParams,
                            "DisplayVideoCodecPrefsDialog: " + why);
            return;
        }
        auto const codec = static_cast<std::uint32_t>(request.mVideoCodecFourCC);
        std::vector<std::uint8_t> start = request.mVideoCodecPrivateData.GetBytes();
        // Runs once on the launcher's thread; holds only the answer's makings, never this
        // object, so the launcher is never destroyed by its own thread.
        launcher.Show(session->GetID(), codec, std::move(start),
                      [responder, request](cs::DialogOutcome const& outcome) {
                          VireoVideoCodecDialogData answer = request;
                          answer.mWasCancelled = !outcome.accepted;
                          if (outcome.accepted) {
                              answer.mVideoCodecPrivateData = Kino::BinaryData(outcome.privateData);
                          }
                          responder.Reply(RecordAnswer(answer));
                      });
        // A session that ended while its request was on the way has had its end handled
        // already: close the dialog just opened for it, so no window outlives its host.
        if (session->IsClosed()) {
            launcher.EndSession(session->GetID());
        }
    }

    // ---- BringVideoCodecDialogToForeground() (a notification) --------------------------------
    void Raise(SessionPtr const& session, VariantPtr const&, Responder const& responder) {
        launcher.BringToForeground(session->GetID());
        responder.Reply(MakeVariant(VariantObject()));  // nothing for a notification
    }

    // ---- ConvertQTAtomContainerSettingsToCodecSettings(VireoConvertCodecSettingsData) --------
    // The answer echoes the three inputs with the converted settings and the result code.
    void Convert(SessionPtr const&, VariantPtr const& params, Responder const& responder) {
        VireoConvertCodecSettingsData request;
        std::string why;
        if (!ReadRecordArgument(params, request, why)) {
            responder.Error(basemarshal::kErrorInvalidParams,
                            "ConvertQTAtomContainerSettingsToCodecSettings: " + why);
            return;
        }
        context.Workers().Post([request, responder] {
            VireoConvertCodecSettingsData answer = request;
            auto const& container = request.mInQTAtomContainer;
            cs::ConversionOutcome const outcome = cs::ConvertCodecSettings(
                request.mInIsVideoCodec, static_cast<std::uint32_t>(request.mInCodecFourCC),
                container.data(), container.size());
            answer.mOutCodecSettings = Kino::BinaryData(outcome.codecSettings);
            answer.mOutConvertSettingsResultCode = outcome.result;
            if (outcome.result != cs::kConvertOK) {
                Log("convert settings: %d (%s) %s", int(outcome.result),
                    cs::ConvertResultText(outcome.result), outcome.why.c_str());
            }
            responder.Reply(RecordAnswer(answer));
        });
    }

    void SessionEnded(SessionPtr const& session) { launcher.EndSession(session->GetID()); }
};

}  // namespace

void RegisterCodecSettingsMethods(ServerContext& context) {
    // Shared by the handlers; destroyed with the dispatch table when the server stops, which
    // closes every open dialog.
    auto methods = std::make_shared<CodecSettingsMethods>(context);
    auto& rpc = context.Rpc();
    using Handler =
        void (CodecSettingsMethods::*)(SessionPtr const&, VariantPtr const&, Responder const&);
    auto bind = [methods](Handler handler) {
        return [methods, handler](SessionPtr const& session, VariantPtr const& params,
                                  Responder const& responder) {
            ((*methods).*handler)(session, params, responder);
        };
    };
    rpc.AddMethod("DisplayVideoCodecPrefsDialog", bind(&CodecSettingsMethods::ShowDialog));
    rpc.AddMethod("BringVideoCodecDialogToForeground", bind(&CodecSettingsMethods::Raise));
    rpc.AddMethod("ConvertQTAtomContainerSettingsToCodecSettings",
                  bind(&CodecSettingsMethods::Convert));
    // Runs on a transport thread when a session ends: its dialog closes.
    context.AddSessionEndListener(
        [methods](SessionPtr const& session) { methods->SessionEnded(session); });
}

}  // namespace vireo::server
