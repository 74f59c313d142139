// The export methods of the server, calling the export engine (export/ExportService.h); the
// catalogue methods are in ExportWire.cpp. Each export belongs to the session that started it; a
// session that ends abandons its exports.
//
// Handlers run on transport threads and only queue the call on the session's strand of the worker
// pool. There each call reads its arguments, opens the data the host shared (which may wait
// briefly for the host) and hands the work to the export service, which encodes on its own
// threads and answers through the responder. The strand keeps the calls of a session in the order
// they arrived even while one of them waits for shared data, so the calls of one export reach the
// service in the order the host sent them.
#include <sys/stat.h>

#include <boost/any.hpp>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "ExportWire.h"
#include "Log.h"
#include "MethodGroups.h"
#include "Pix/Pix.h"
#include "VireoRecords/ExportRecordsWire.h"
#include "basekit/debug/Failure.h"
#include "basekit/serialization/JSONConvert.h"
#include "crossprocess/CrossProcess.h"
#include "export/ExportErrors.h"
#include "export/ExportService.h"

namespace vireo::server {

namespace {

using basekit::serialization::JSONConvert;
using basekit::serialization::MakeVariant;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantObject;
using basekit::serialization::VariantPtr;
using basekit::utility::Guid;
using basemarshal::Responder;
using basetransport::SessionPtr;
namespace ex = vireo::server::exporting;
using ex::Params;
using ex::ToSettings;
using vireo::server::ValueAnswer;

template <class Record>
VariantPtr RecordResult(Record const& record) {
    return ValueAnswer(JSONConvert<Record>::ToJSON(record));
}

using Handler = boost::function<void(SessionPtr const&, VariantPtr const&, Responder const&)>;

struct ExportMethods {
    explicit ExportMethods(ServerContext& c) : context(c) {}

    ServerContext& context;
    std::shared_ptr<ex::ExportService> service;
    std::mutex mutex;                        // guards strands
    std::map<std::int64_t, Strand> strands;  // per session, made on its first export call

    Strand SessionStrand(SessionPtr const& session) {
        std::lock_guard<std::mutex> lock(mutex);
        if (session->IsClosed()) {
            // Its end has been (or is being) handled: nothing is kept for it.
            return context.Workers().MakeStrand();
        }
        auto it = strands.find(session->GetID());
        if (it == strands.end()) {
            it = strands.emplace(session->GetID(), context.Workers().MakeStrand()).first;
        }
        return it->second;
    }

    // Runs on a transport thread when a session ends: after the calls it queued, its exports are
    // abandoned (their files go).
    void SessionEnded(SessionPtr const& session) {
        std::int64_t const owner = session->GetID();
        std::shared_ptr<ex::ExportService> const target = service;
        std::lock_guard<std::mutex> lock(mutex);
        auto it = strands.find(owner);
        if (it == strands.end()) {
            target->AbandonOwner(owner);
            return;
        }
        Post(it->second, [target, owner] { target->AbandonOwner(owner); });
        strands.erase(it);
    }

    // ---- StartExport(exporterId, StartExportData) -------------------------------------------
    void Start(SessionPtr const& session, VariantPtr const& params, Responder const& responder) {
        Guid id;
        ex::ExportSettings settings;
        try {
            Params args(params);
            id = args.Get<Guid>(0);
            settings = ToSettings(args.Get<VireoServer::StartExportData>(1));
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("reading the arguments of StartExport");
            responder.Reply(ValueAnswer(std::int64_t(ex::kErrBadRequest)));
            return;
        }
        if (session->IsClosed()) {
            // Nobody would complete or abandon it: the session's exports were abandoned already.
            responder.Reply(ValueAnswer(std::int64_t(ex::kErrAbandoned)));
            return;
        }
        Log("export %s: start %s", id.AsUTF8String().c_str(), settings.mFilePath.c_str());
        service->Start(session->GetID(), id, std::move(settings), [responder](std::int32_t code) {
            responder.Reply(ValueAnswer(std::int64_t(code)));
        });
    }

    // ---- CompressAndWriteFrame(exporterId, frameId, frameNumber, value, flag) ---------------
    // value and flag are not used.
    void Frame(SessionPtr const& session, VariantPtr const& params, Responder const& responder) {
        VireoServer::ExportFrameReceivedData record;
        record.mExporterResultCode = ex::kErrBadRequest;
        std::uint64_t frameNumber = 0;
        try {
            Params args(params);
            record.mExporterInstanceID = args.Get<Guid>(0);
            record.mPublishedFrameIdentifier = args.Get<Guid>(1);
            frameNumber = args.Get<std::uint64_t>(2);
            record.mFrameNumber = std::uint32_t(frameNumber);
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("reading the arguments of CompressAndWriteFrame");
            responder.Reply(RecordResult(record));
            return;
        }
        if (frameNumber > UINT32_MAX) {
            record.mExporterResultCode = ex::kErrFrameNumber;
            responder.Reply(RecordResult(record));
            return;
        }
        // The host shared the frame before it sent the call; opening it may wait briefly for the
        // host's answer, which this session's other transport thread reads.
        InterfaceRef<Kino::IVideoFrame> frame;
        if (Pix::OpenVideoFrame(session, record.mPublishedFrameIdentifier, frame) != Pix::kOK ||
            !frame) {
            record.mExporterResultCode = ex::kErrDataNotShared;
            responder.Reply(RecordResult(record));
            return;
        }
        ex::VideoFrameView view;
        view.fourcc = frame->GetPixelFormat();
        view.width = frame->GetWidth();
        view.height = frame->GetHeight();
        view.rowBytes = frame->GetRowBytes();
        view.pixels = static_cast<std::uint8_t const*>(frame->GetPixels());
        view.dataSize = frame->GetDataSize();
        auto held = std::make_shared<InterfaceRef<Kino::IVideoFrame>>(std::move(frame));
        view.hold = std::shared_ptr<void const>(held, held.get());
        service->SubmitFrame(session->GetID(), record.mExporterInstanceID, record.mFrameNumber,
                             std::move(view), [responder, record](std::int32_t code) mutable {
                                 record.mExporterResultCode = code;
                                 responder.Reply(RecordResult(record));
                             });
    }

    // ---- CompressAndWriteAudio(exporterId, audioId, firstSample, sampleCount) ---------------
    void Audio(SessionPtr const& session, VariantPtr const& params, Responder const& responder) {
        VireoServer::ExportAudioDataReceived record;
        record.mExporterResultCode = ex::kErrBadRequest;
        try {
            Params args(params);
            record.mExporterInstanceID = args.Get<Guid>(0);
            record.mPublishedAudioDataIdentifier = args.Get<Guid>(1);
            record.mStartingAudioSample = args.Get<std::int64_t>(2);
            record.mNumAudioSamples = args.Get<std::int64_t>(3);
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("reading the arguments of CompressAndWriteAudio");
            responder.Reply(RecordResult(record));
            return;
        }
        crossprocess::BinaryReferencePtr ref =
            crossprocess::OpenPublishedData(session, record.mPublishedAudioDataIdentifier);
        void const* data = ref ? ref->GetData() : nullptr;
        if (!data) {
            record.mExporterResultCode = ex::kErrDataNotShared;
            responder.Reply(RecordResult(record));
            return;
        }
        ex::AudioBlockView block;
        block.samples = static_cast<std::uint8_t const*>(data);
        block.size = ref->GetSize();
        // Gives the pointer back and drops the reference once the engine has read the samples.
        block.hold = std::shared_ptr<void const>(
            data, [ref](void const* pointer) { ref->ReleaseData(pointer); });
        service->SubmitAudio(session->GetID(), record.mExporterInstanceID,
                             record.mStartingAudioSample, record.mNumAudioSamples, std::move(block),
                             [responder, record](std::int32_t code) mutable {
                                 record.mExporterResultCode = code;
                                 responder.Reply(RecordResult(record));
                             });
    }

    // ---- ExportServerProgressPulse(exporterId) ----------------------------------------------
    // The frames the encoder has taken (samples, for an export without video), or the negative
    // code that ended the export.
    void Progress(SessionPtr const& session, VariantPtr const& params, Responder const& responder) {
        std::int32_t progress = ex::kErrBadRequest;
        try {
            progress = service->Progress(session->GetID(), Params(params).Get<Guid>(0));
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("reading the arguments of ExportServerProgressPulse");
        }
        responder.Reply(ValueAnswer(std::int64_t(progress)));
    }

    // ---- ExportServerShouldCancel(exporterId): a notification --------------------------------
    void Cancel(SessionPtr const& session, VariantPtr const& params, Responder const&) {
        try {
            service->Cancel(session->GetID(), Params(params).Get<Guid>(0));
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("reading the arguments of ExportServerShouldCancel");
        }
    }

    // ---- ExportCompleted(exporterId, status) -------------------------------------------------
    void Complete(SessionPtr const& session, VariantPtr const& params, Responder const& responder) {
        VireoServer::ExportCompletedData record;
        std::int32_t status = 0;
        try {
            Params args(params);
            record.mExporterInstanceID = args.Get<Guid>(0);
            status = args.Get<std::int32_t>(1);
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("reading the arguments of ExportCompleted");
            record.mServerResultCode = ex::kErrBadRequest;
            responder.Reply(RecordResult(record));
            return;
        }
        service->Complete(session->GetID(), record.mExporterInstanceID, status,
                          [responder, record](std::int32_t code) mutable {
                              record.mServerResultCode = code;
                              Log("export %s: completed %d",
                                  record.mExporterInstanceID.AsUTF8String().c_str(), int(code));
                              responder.Reply(RecordResult(record));
                          });
    }
};

}  // namespace

void RegisterExportMethods(ServerContext& context) {
    ex::RegisterCatalogueMethods(context);

    ex::ServiceOptions options;
    if (!context.Options().registry.empty()) {
        options.journalDirectory = context.Options().registry + "/exports";
        ::mkdir(options.journalDirectory.c_str(), 0700);
        ex::CleanupResult cleaned = ex::RemoveAbandonedExports(options.journalDirectory);
        if (cleaned.removed > 0) {
            Log("removed %zu temporary movies of exports of servers that are gone",
                cleaned.removed);
        }
    }
    auto methods = std::make_shared<ExportMethods>(context);
    methods->service = std::make_shared<ex::ExportService>(options);

    using Member = void (ExportMethods::*)(SessionPtr const&, VariantPtr const&, Responder const&);
    auto bind = [methods](Member member) -> Handler {
        return [methods, member](SessionPtr const& session, VariantPtr const& params,
                                 Responder const& responder) {
            Post(methods->SessionStrand(session), [methods, member, session, params, responder] {
                ((*methods).*member)(session, params, responder);
            });
        };
    };
    auto& rpc = context.Rpc();
    rpc.AddMethod("StartExport", bind(&ExportMethods::Start));
    rpc.AddMethod("CompressAndWriteFrame", bind(&ExportMethods::Frame));
    rpc.AddMethod("CompressAndWriteAudio", bind(&ExportMethods::Audio));
    rpc.AddMethod("ExportServerProgressPulse", bind(&ExportMethods::Progress));
    rpc.AddMethod("ExportServerShouldCancel", bind(&ExportMethods::Cancel));
    rpc.AddMethod("ExportCompleted", bind(&ExportMethods::Complete));
    // Runs on a transport thread when a session ends: its exports are abandoned (their files go).
    context.AddSessionEndListener(
        [methods](SessionPtr const& session) { methods->SessionEnded(session); });
}

}  // namespace vireo::server
