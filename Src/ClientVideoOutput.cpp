// The video-output operations: listing the server's components, taking one into use, reading the
// active mode, blitting frames and giving the component back. Each is a synchronous request; the
// client keeps no video-output state of its own.
//
// Every operation starts from a local record whose outcome is kVOutOperationFailed, so a caller
// can tell "no usable answer" from the server's own outcomes (the server never answers 1).
#include "Pix/Pix.h"
#include "RequestPatterns.h"
#include "VireoClientImpl.h"
#include "VireoRecords/VideoOutputRecordsWire.h"
#include "basekit/serialization/JSONConvert.h"

namespace VireoClient {

using basekit::serialization::BuildCall;
using basekit::serialization::JSONConvert;
using basekit::serialization::ToVariant;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantPtr;
using basekit::utility::Guid;
using VireoServer::kVOutOperationFailed;
using VireoServer::kVOutOperationUnavailable;
using VireoServer::QTVGetActiveDisplayModeData;
using VireoServer::QTVOutComponent;
using VireoServer::QTVOutOperationResult;
using VireoServer::QTVOutUseComponentData;

namespace {

// The member "value" of an answer, or nothing.
VariantPtr AnswerValue(VariantPtr const& answer) {
    if (!answer) {
        return VariantPtr();
    }
    return basekit::serialization::GetVariantInObject(*answer, "value");
}

// Reads "value" as `Record`; an answer without it gives the all-zero record (outcome 0).
template <class Record>
void DecodeValue(VariantPtr const& answer, Record& record) {
    VariantPtr const value = AnswerValue(answer);
    record = value ? JSONConvert<Record>::FromJSON(*value) : Record();
}

QTVOutOperationResult FailedResult() {
    QTVOutOperationResult result;
    result.mOperationResult = kVOutOperationFailed;
    return result;
}

}  // namespace

void VireoClient::GetQTVOutComponents(std::vector<QTVOutComponent>& components) {
    if (!IsQuicktimeAvailable() || mCodecDialogShowing.load()) {
        return;
    }
    auto rpc = TakeRPCClient();
    if (rpc && VIREO_REFUSE_BLOCKING_CALL("VireoClient::GetQTVOutComponents")) {
        return;
    }
    // The answer replaces the whole list; an error answer, or one that does not read, leaves it
    // as the caller passed it.
    patterns::Synchronous<std::vector<QTVOutComponent>>(
        rpc, BuildCall("GetQTVOutComponents", VariantArray()), components,
        [](VariantPtr const& answer, std::vector<QTVOutComponent>& decoded) {
            std::vector<QTVOutComponent> list;
            if (VariantPtr const value = AnswerValue(answer)) {
                if (VariantPtr const items = basekit::serialization::GetVariantInObject(
                        *value, VireoServer::wire::kQTVOutComponentsKey)) {
                    list = JSONConvert<std::vector<QTVOutComponent>>::FromJSON(*items);
                }
            }
            decoded.swap(list);
        });
}

void VireoClient::QTVOutBeginUsingComponent(QTVOutUseComponentData& data) {
    if (!IsQuicktimeAvailable() || mCodecDialogShowing.load()) {
        data.mVOutOperationResult.mOperationResult = kVOutOperationUnavailable;
        return;
    }
    auto rpc = TakeRPCClient();
    if (rpc && VIREO_REFUSE_BLOCKING_CALL("VireoClient::QTVOutBeginUsingComponent")) {
        return;
    }
    // The server always receives outcome 1 in the request.
    QTVOutUseComponentData local = data;
    local.mVOutOperationResult.mOperationResult = kVOutOperationFailed;
    VariantArray arguments{ToVariant(local)};
    if (!patterns::Synchronous<QTVOutUseComponentData>(
            rpc, BuildCall("QTVOutBeginUsingComponent", arguments), local,
            &DecodeValue<QTVOutUseComponentData>)) {
        return;
    }
    // Outcome 1 means no usable answer: the caller's record stays as it was.
    if (local.mVOutOperationResult.mOperationResult != kVOutOperationFailed) {
        data = local;
    }
}

void VireoClient::QTVOutGetActiveDisplayModeData(QTVGetActiveDisplayModeData& data) {
    if (mCodecDialogShowing.load()) {
        return;
    }
    auto rpc = TakeRPCClient();
    if (!rpc || VIREO_REFUSE_BLOCKING_CALL("VireoClient::QTVOutGetActiveDisplayModeData")) {
        return;
    }
    QTVGetActiveDisplayModeData local;
    local.mOperationResult = FailedResult();
    patterns::Synchronous<QTVGetActiveDisplayModeData>(
        rpc, BuildCall("QTVOutGetActiveDisplayModeData", VariantArray()), local,
        &DecodeValue<QTVGetActiveDisplayModeData>);
    data = local;
}

void VireoClient::QTVOutBeginBlitting(InterfaceRef<Kino::IVideoFrame> frame,
                                      QTVOutOperationResult& result) {
    BlitVideoOutputFrame("QTVOutBeginBlitting", std::move(frame), result);
}

void VireoClient::QTVOutBlitFrame(InterfaceRef<Kino::IVideoFrame> frame,
                                  QTVOutOperationResult& result) {
    BlitVideoOutputFrame("QTVOutBlitFrame", std::move(frame), result);
}

void VireoClient::BlitVideoOutputFrame(const char* method, InterfaceRef<Kino::IVideoFrame> frame,
                                       QTVOutOperationResult& result) {
    if (mCodecDialogShowing.load()) {
        return;
    }
    if (!frame) {
        result.mOperationResult = kVOutOperationFailed;
        return;
    }
    auto rpc = TakeRPCClient();
    if (!rpc || VIREO_REFUSE_BLOCKING_CALL("VireoClient::QTVOutBlitFrame")) {
        return;
    }
    // A fresh identifier for every frame sent, so the server never confuses two publications.
    Guid const id = Guid::CreateUnique();
    crossprocess::WritableBinaryReferencePtr published;
    if (Pix::PublishVideoFrameProvidingReference(frame, id, published) < 0) {
        result.mOperationResult = kVOutOperationFailed;
        return;
    }
    QTVOutOperationResult local = FailedResult();
    {
        VariantPtr call = BuildCall(method, VariantArray{ToVariant(id)});
        patterns::Synchronous<QTVOutOperationResult>(rpc, call, local,
                                                     &DecodeValue<QTVOutOperationResult>);
    }
    result = local;
    // The server reads the pixels while it answers: the publication ends only now.
    published.reset();
}

void VireoClient::QTVOutEndBlitting(QTVOutOperationResult& result) {
    SimpleVideoOutputRequest("QTVOutEndBlitting", result);
}

void VireoClient::QTVOutEndUsingComponent(QTVOutOperationResult& result) {
    SimpleVideoOutputRequest("QTVOutEndUsingComponent", result);
}

void VireoClient::SimpleVideoOutputRequest(const char* method, QTVOutOperationResult& result) {
    if (mCodecDialogShowing.load()) {
        return;
    }
    auto rpc = TakeRPCClient();
    if (!rpc || VIREO_REFUSE_BLOCKING_CALL("VireoClient::SimpleVideoOutputRequest")) {
        return;
    }
    QTVOutOperationResult local = FailedResult();
    patterns::Synchronous<QTVOutOperationResult>(rpc, BuildCall(method, VariantArray()), local,
                                                 &DecodeValue<QTVOutOperationResult>);
    result = local;
}

}  // namespace VireoClient
