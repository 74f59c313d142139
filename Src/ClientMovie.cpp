// Opening and closing movies, and the movie's audio: GetMovieAudio and the audio controls.
#include <memory>

#include "RequestPatterns.h"
#include "VireoClientImpl.h"
#include "VireoRecords/MovieRecordsWire.h"

namespace VireoClient {

using basekit::serialization::BuildCall;
using basekit::serialization::ToVariant;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantPtr;
using basekit::utility::Guid;

namespace {

constexpr std::int32_t kOpenFailed = 5;

VariantPtr MovieCall(const char* method, Guid const& movieId) {
    return BuildCall(method, VariantArray{ToVariant(movieId)});
}

}  // namespace

bool VireoClient::OpenMovieFromFile(basekit::UTF16String const& path, bool flag1, bool flag2,
                                    bool flag3, OpenMovieCallback const& onOpened) {
    auto rpc = TakeRPCClient();
    if (!rpc) {
        return false;
    }
    VireoServer::OpenMovieFromFileResult failure;
    failure.ImporterSDKErrorResult = kOpenFailed;

    InterfaceRef<VireoClient, IVireoClient> self = GetClientRef();
    VariantArray arguments{ToVariant(path), ToVariant(flag1), ToVariant(flag2), ToVariant(flag3)};
    patterns::AnswerOnce<VireoServer::OpenMovieFromFileResult>(
        rpc, BuildCall("OpenMovieFromFile", arguments),
        [](VariantPtr const& answer) {
            // Without "value" the answer is the record's defaults.
            VireoServer::OpenMovieFromFileResult result;
            if (answer) {
                basekit::serialization::ReadRecord(*answer, "value", result);
            }
            return result;
        },
        [self, onOpened](VireoServer::OpenMovieFromFileResult const& result) { onOpened(result); },
        [self, onOpened, failure] { onOpened(failure); });
    return true;
}

void VireoClient::CloseMovie(Guid const& movieId) {
    patterns::IgnoreAnswer(TakeRPCClient(), MovieCall("CloseMovie", movieId));
}

bool VireoClient::SendQuietMovie(Guid const& movieId, boost::function<void()> const& done) {
    auto rpc = TakeRPCClient();
    if (!rpc) {
        return false;
    }
    InterfaceRef<VireoClient, IVireoClient> self = GetClientRef();
    // The answer carries nothing the caller reads: success and failure both complete the quiet.
    auto finish = [self, done] {
        if (done) {
            done();
        }
    };
    patterns::AnswerOnce<bool>(
        rpc, MovieCall("QuietMovie", movieId), [](VariantPtr const&) { return true; },
        [finish](bool) { finish(); }, finish);
    return true;
}

void VireoClient::QuietMovie(Guid const& movieId, boost::function<void()> const& done) {
    SendQuietMovie(movieId, done);
}

void VireoClient::UnquietMovie(Guid const& movieId) {
    patterns::IgnoreAnswer(TakeRPCClient(), MovieCall("UnquietMovie", movieId));
}

void VireoClient::RestartMovieAudio(Guid const& movieId) {
    patterns::IgnoreAnswer(TakeRPCClient(), MovieCall("RestartMovieAudio", movieId));
}

namespace {

// One audio request. Its three completions (the data, the refusing answer, the transport
// error) can all arrive: when the session ends after the request went out, both the RPC error
// and the shared-data layer report it. Only the first one calls back, so the caller hears of
// the request exactly once.
struct AudioRequest {
    AudioCallback onAudio;
    std::atomic<bool> done{false};

    bool Claim() { return !done.exchange(true); }
};

void OnAudioData(std::shared_ptr<AudioRequest> const& request,
                 crossprocess::BinaryReferencePtr reference, long status) {
    if (status == crossprocess::kNotificationCancelled) {
        return;
    }
    if (status == 0 && reference) {
        std::uint64_t const size = reference->GetSize();
        const void* data = reference->GetData();
        if (request->Claim()) {
            long const count = static_cast<long>(static_cast<std::uint32_t>(size / 4));
            patterns::RunCallback(
                [&] { request->onAudio(count, static_cast<float const*>(data)); });
        }
        reference->ReleaseData(data);
        return;
    }
    if (request->Claim()) {
        patterns::RunCallback([&] { request->onAudio(0, nullptr); });
    }
}

}  // namespace

bool VireoClient::GetMovieAudio(Guid const& movieId, AudioCallback const& onAudio) {
    auto rpc = TakeRPCClient();
    Guid const requestId = Guid::CreateUnique();
    auto request = std::make_shared<AudioRequest>();
    request->onAudio = onAudio;
    InterfaceRef<VireoClient, IVireoClient> self = GetClientRef();

    crossprocess::DataHandler onData =
        [self, request](Guid const&, crossprocess::BinaryReferencePtr reference, long status) {
            OnAudioData(request, std::move(reference), status);
        };
    auto onError = [self, request](long, basekit::UTF16String const&, std::int64_t) {
        OnAudioData(request, crossprocess::BinaryReferencePtr(), -1);
    };
    auto onResult = [self, request, requestId](VariantPtr const& answer, std::int64_t) {
        // An answer that cannot be read counts as a refusal.
        std::int32_t value = 0;
        patterns::ReadAnswerCode(answer, value);
        if (value > 0) {
            return;
        }
        crossprocess::CancelAllOutstandingNotifications(requestId,
                                                        crossprocess::kNotificationCancelled);
        if (request->Claim()) {
            patterns::RunCallback([&] { request->onAudio(0, nullptr); });
        }
    };
    VariantPtr call =
        BuildCall("GetMovieAudio", VariantArray{ToVariant(movieId), ToVariant(requestId)});
    boost::function<void()> start = [rpc, call, onResult, onError] {
        rpc->SendRequest(call, onResult, onError, 0);
    };
    if (!rpc) {
        return false;
    }
    return crossprocess::GetBinaryDataWithAsyncNotification(requestId, onData, start) == 0;
}

}  // namespace VireoClient
