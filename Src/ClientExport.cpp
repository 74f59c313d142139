// The export operations: start, frame and audio submissions, progress, cancel and completion.
//
// The client keeps no state of an export; it only keeps, in mExportCallbacks, the callbacks of
// submissions and completions waiting for their answer. An answer is delivered by the identifier
// it carries (not the one that was sent); an RPC error, or an answer that cannot be read, is
// delivered as a record made up from the submission with result -1. So is a submission or a
// completion made while there is no server: an exporter waiting for its answers never waits for
// ever.
#include "RequestPatterns.h"
#include "VireoClientImpl.h"
#include "VireoRecords/ExportRecordsWire.h"
#include "basekit/serialization/JSONConvert.h"

namespace VireoClient {

using basekit::serialization::BuildCall;
using basekit::serialization::ToVariant;
using basekit::serialization::VariantPtr;
using basekit::utility::Guid;

namespace {

constexpr std::int32_t kStartExportNoAnswer = 3;
constexpr std::int32_t kNoAnswer = -1;

// The record under "value" of an answer, read by its converter. False when the answer has no
// "value" (nothing is delivered then); throws when the value does not convert.
template <class Record>
bool ReadAnswerRecord(VariantPtr const& answer, Record& record) {
    VariantPtr value =
        answer ? basekit::serialization::GetVariantInObject(*answer, "value") : VariantPtr();
    if (!value) {
        return false;
    }
    record = basekit::serialization::JSONConvert<Record>::FromJSON(*value);
    return true;
}

// Sends `call`; delivers the record of the answer, or `fallback` after an RPC error or an
// answer whose value cannot be read. An answer without "value" delivers nothing. Runs `deliver`
// on an RPC thread.
template <class Record>
void SendForRecord(patterns::RPCClientPtr const& rpc, VariantPtr const& call,
                   Record const& fallback, boost::function<void(Record const&)> const& deliver) {
    rpc->SendRequest(
        call,
        [deliver, fallback](VariantPtr const& answer, std::int64_t) {
            Record record;
            bool present = false;
            bool readable = true;
            try {
                present = ReadAnswerRecord(answer, record);
            } catch (...) {
                BASEKIT_REPORT_CAUGHT("reading the answer to an export call");
                readable = false;
            }
            if (!readable) {
                deliver(fallback);
            } else if (present) {
                deliver(record);
            }
        },
        [deliver, fallback](long, basekit::UTF16String const&, std::int64_t) { deliver(fallback); },
        0);
}

}  // namespace

std::int32_t VireoClient::StartExport(Guid const& exporterId,
                                      VireoServer::StartExportData const& settings) {
    VariantPtr const call =
        BuildCall("StartExport", patterns::Arguments(ToVariant(exporterId), ToVariant(settings)));
    std::int32_t result = kStartExportNoAnswer;
    auto rpc = TakeRPCClient();
    if (!rpc || VIREO_REFUSE_BLOCKING_CALL("VireoClient::StartExport")) {
        return result;
    }
    patterns::Synchronous<std::int32_t>(rpc, call, result,
                                        [](VariantPtr const& answer, std::int32_t& code) {
                                            if (!patterns::ReadAnswerCode(answer, code)) {
                                                throw boost::bad_any_cast();
                                            }
                                        });
    return result;
}

void VireoClient::CompressAndWriteFrame(Guid const& exporterId, Guid const& frameId,
                                        std::uint32_t frameNumber, std::uint32_t value, bool flag,
                                        ExportFrameCallback const& onFrame) {
    {
        basekit::threads::RecursiveLock lock(mExportCallbacks.lock);
        mExportCallbacks.mFrameCallbacks.emplace(
            frameId, ExportCallbacks::Frame{exporterId, frameNumber, onFrame});
    }
    VireoServer::ExportFrameReceivedData fallback;
    fallback.mExporterInstanceID = exporterId;
    fallback.mPublishedFrameIdentifier = frameId;
    fallback.mFrameNumber = frameNumber;
    fallback.mExporterResultCode = kNoAnswer;
    auto rpc = TakeRPCClient();
    if (!rpc) {
        DeliverFrameRecord(fallback);
        return;
    }
    VariantPtr const call = BuildCall(
        "CompressAndWriteFrame",
        patterns::Arguments(ToVariant(exporterId), ToVariant(frameId),
                            ToVariant(static_cast<std::uint64_t>(frameNumber)),
                            ToVariant(static_cast<std::uint64_t>(value)), ToVariant(flag)));
    InterfaceRef<VireoClient, IVireoClient> self = GetClientRef();
    SendForRecord<VireoServer::ExportFrameReceivedData>(
        rpc, call, fallback, [self](VireoServer::ExportFrameReceivedData const& record) {
            self->DeliverFrameRecord(record);
        });
}

void VireoClient::CompressAndWriteAudio(Guid const& exporterId, Guid const& audioId,
                                        std::int64_t firstSample, std::int64_t sampleCount,
                                        ExportAudioCallback const& onAudio) {
    {
        basekit::threads::RecursiveLock lock(mExportCallbacks.lock);
        mExportCallbacks.mAudioCallbacks.emplace(audioId,
                                                 ExportCallbacks::Audio{exporterId, onAudio});
    }
    VireoServer::ExportAudioDataReceived fallback;
    fallback.mExporterInstanceID = exporterId;
    fallback.mPublishedAudioDataIdentifier = audioId;
    fallback.mStartingAudioSample = firstSample;
    fallback.mNumAudioSamples = sampleCount;
    fallback.mExporterResultCode = kNoAnswer;
    auto rpc = TakeRPCClient();
    if (!rpc) {
        DeliverAudioRecord(fallback);
        return;
    }
    VariantPtr const call =
        BuildCall("CompressAndWriteAudio",
                  patterns::Arguments(ToVariant(exporterId), ToVariant(audioId),
                                      ToVariant(static_cast<std::uint64_t>(firstSample)),
                                      ToVariant(static_cast<std::uint64_t>(sampleCount))));
    InterfaceRef<VireoClient, IVireoClient> self = GetClientRef();
    SendForRecord<VireoServer::ExportAudioDataReceived>(
        rpc, call, fallback, [self](VireoServer::ExportAudioDataReceived const& record) {
            self->DeliverAudioRecord(record);
        });
}

void VireoClient::ExportServerProgressPulse(Guid const& exporterId,
                                            ExportProgressCallback const& onProgress) {
    auto rpc = TakeRPCClient();
    if (!rpc) {
        return;
    }
    InterfaceRef<VireoClient, IVireoClient> self = GetClientRef();
    patterns::AnswerOnce<std::int32_t>(
        rpc, BuildCall("ExportServerProgressPulse", patterns::Arguments(ToVariant(exporterId))),
        [](VariantPtr const& answer) {
            std::int32_t value = 0;
            if (!patterns::ReadAnswerCode(answer, value)) {
                throw boost::bad_any_cast();
            }
            return value;
        },
        [self, onProgress](std::int32_t const& value) { onProgress(0, std::uint32_t(value)); },
        [self, onProgress] { onProgress(kNoAnswer, 0); });
}

void VireoClient::ExportServerShouldCancel(Guid const& exporterId) {
    patterns::Notify(TakeRPCClient(), BuildCall("ExportServerShouldCancel",
                                                patterns::Arguments(ToVariant(exporterId))));
}

void VireoClient::ExportCompleted(Guid const& exporterId, std::int32_t status,
                                  ExportCompletionCallback const& onCompleted) {
    {
        basekit::threads::RecursiveLock lock(mExportCallbacks.lock);
        mExportCallbacks.mCompletionCallbacks.emplace(exporterId, onCompleted);
    }
    VireoServer::ExportCompletedData fallback;
    fallback.mExporterInstanceID = exporterId;
    fallback.mServerResultCode = kNoAnswer;
    auto rpc = TakeRPCClient();
    if (!rpc) {
        DeliverCompletionRecord(fallback);
        return;
    }
    VariantPtr const call =
        BuildCall("ExportCompleted", patterns::Arguments(ToVariant(exporterId), ToVariant(status)));
    InterfaceRef<VireoClient, IVireoClient> self = GetClientRef();
    SendForRecord<VireoServer::ExportCompletedData>(
        rpc, call, fallback, [self](VireoServer::ExportCompletedData const& record) {
            self->DeliverCompletionRecord(record);
        });
}

// The entry is taken out of its table before its callback runs: the callback runs once whatever
// it does (throws, or submits again under the same identifier, which then waits anew).
void VireoClient::DeliverFrameRecord(VireoServer::ExportFrameReceivedData const& record) {
    basekit::threads::RecursiveLock lock(mExportCallbacks.lock);
    auto& table = mExportCallbacks.mFrameCallbacks;
    auto it = table.find(record.mPublishedFrameIdentifier);
    if (it == table.end()) {
        return;
    }
    ExportFrameCallback callback = std::move(it->second.callback);
    table.erase(it);
    patterns::RunCallback([&] { callback(record); });
}

void VireoClient::DeliverAudioRecord(VireoServer::ExportAudioDataReceived const& record) {
    basekit::threads::RecursiveLock lock(mExportCallbacks.lock);
    auto& table = mExportCallbacks.mAudioCallbacks;
    auto it = table.find(record.mPublishedAudioDataIdentifier);
    if (it == table.end()) {
        return;
    }
    ExportAudioCallback callback = std::move(it->second.callback);
    table.erase(it);
    patterns::RunCallback([&] { callback(record); });
}

void VireoClient::DeliverCompletionRecord(VireoServer::ExportCompletedData const& record) {
    basekit::threads::RecursiveLock lock(mExportCallbacks.lock);
    auto& table = mExportCallbacks.mCompletionCallbacks;
    auto it = table.find(record.mExporterInstanceID);
    if (it == table.end()) {
        return;
    }
    ExportCompletionCallback callback = std::move(it->second);
    table.erase(it);
    patterns::RunCallback([&] { callback(record); });
}

}  // namespace VireoClient
