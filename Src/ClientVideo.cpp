// Video frames: the table of requests in flight and the three handlers that can complete one.
#include "Pix/Pix.h"
#include "RequestPatterns.h"
#include "VireoClientImpl.h"
#include "VireoRecords/MovieRecordsWire.h"

namespace VireoClient {

using basekit::serialization::BuildCall;
using basekit::serialization::ToVariant;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantPtr;
using basekit::utility::Guid;

bool VireoClient::GetMovieVideo(Guid const& movieId, std::int32_t videoArg1,
                                VireoServer::PixelFormat format, std::int32_t videoArg2,
                                std::int32_t videoArg3, FrameCallback const& onFrame,
                                Guid const& requestId) {
    auto rpc = TakeRPCClient();
    {
        basekit::threads::RecursiveLock lock(mRequestMutex);
        // An identifier already in flight keeps its earlier entry.
        mPendingVideoRequests.emplace(requestId, onFrame);
    }
    InterfaceRef<VireoClient, IVireoClient> self = GetClientRef();

    crossprocess::DataHandler onData =
        [self](Guid const& id, crossprocess::BinaryReferencePtr reference, long status) {
            self->OnFrameData(id, reference, status, 0);
        };
    auto onResult = [self, requestId](VariantPtr const& answer, std::int64_t) {
        self->OnGetMovieVideoResult(answer, requestId);
    };
    auto onError = [self, requestId](long, basekit::UTF16String const&, std::int64_t) {
        self->OnFrameData(requestId, crossprocess::BinaryReferencePtr(), -1, 0);
    };
    VariantArray arguments{ToVariant(movieId),
                           ToVariant(requestId),
                           ToVariant(static_cast<std::int64_t>(videoArg1)),
                           ToVariant(format),
                           ToVariant(static_cast<std::int64_t>(videoArg2)),
                           ToVariant(static_cast<std::int64_t>(videoArg3))};
    VariantPtr call = BuildCall("GetMovieVideo", arguments);
    boost::function<void()> start = [rpc, call, onResult, onError] {
        rpc->SendRequest(call, onResult, onError, 0);
    };

    if (!rpc || crossprocess::GetBinaryDataWithAsyncNotification(requestId, onData, start) != 0) {
        basekit::threads::RecursiveLock lock(mRequestMutex);
        mPendingVideoRequests.erase(requestId);
        return false;
    }
    return true;
}

void VireoClient::OnGetMovieVideoResult(VariantPtr const& answer, Guid const& requestId) {
    std::int32_t value = 0;
    if (!patterns::ReadAnswerCode(answer, value)) {
        // An answer that cannot be read fails the request, as an error answer does.
        crossprocess::CancelAllOutstandingNotifications(requestId,
                                                        crossprocess::kNotificationCancelled);
        OnFrameData(requestId, crossprocess::BinaryReferencePtr(), -1, 0);
        return;
    }
    if (value == 0) {
        return;  // accepted: the data notification completes the request
    }
    // The withdrawn notification is dropped by the shared-data layer, so the refusal below is
    // the only completion the caller can see.
    crossprocess::CancelAllOutstandingNotifications(requestId,
                                                    crossprocess::kNotificationCancelled);
    OnFrameData(requestId, crossprocess::BinaryReferencePtr(), 0, value);
}

void VireoClient::OnFrameData(Guid const& requestId,
                              crossprocess::BinaryReferencePtr const& reference, long status,
                              long serverError) {
    InterfaceRef<Kino::IVideoFrame> frame;
    long result;
    if (status == crossprocess::kNotificationCancelled) {
        result = 0;
    } else if (status != 0) {
        result = -1;
    } else if (!reference) {
        result = serverError;
    } else if (Pix::WrapVideoFrameAroundBinaryReference(reference, requestId, frame) < 0 ||
               !frame) {
        frame.reset();
        result = -1;
    } else {
        result = 0;
    }

    FrameCallback callback;
    {
        basekit::threads::RecursiveLock lock(mRequestMutex);
        auto it = mPendingVideoRequests.find(requestId);
        if (it != mPendingVideoRequests.end()) {
            callback = it->second;
            mPendingVideoRequests.erase(it);
        }
    }
    // The entry is gone, so whatever the callback does, no other completion reaches it.
    if (callback) {
        patterns::RunCallback([&] { callback(frame, result); });
    }
}

bool VireoClient::CancelMovieVideo(Guid const& movieId, Guid const& requestId) {
    {
        basekit::threads::RecursiveLock lock(mRequestMutex);
        if (mPendingVideoRequests.erase(requestId) == 0) {
            return false;
        }
    }
    patterns::Notify(
        TakeRPCClient(),
        BuildCall("CancelMovieVideo", VariantArray{ToVariant(movieId), ToVariant(requestId)}));
    return true;
}

}  // namespace VireoClient
