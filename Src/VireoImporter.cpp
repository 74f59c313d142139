#include "VireoImporter.h"

#include <boost/make_shared.hpp>

#include "Kino/VideoFrame.h"
#include "Orb/ObjectModel.h"
#include "VireoClientImpl.h"
#include "basekit/threads/SyncPoint.h"

namespace VireoClient {

using basekit::utility::Guid;

namespace {

// The state of one blocking call, shared by the caller and the callback rather than kept on the
// caller's stack: the callback answers once, and whatever might come after it touches nothing
// the caller has already given up.
struct BlockingCall {
    basekit::threads::SyncPoint rendezvous{2};
    std::atomic<bool> answered{false};
    InterfaceRef<Kino::IVideoFrame> frame;
    std::vector<float> samples;
    long result = 0;

    bool Claim() { return !answered.exchange(true); }
};

}  // namespace

InterfaceRef<VireoImporter> VireoImporter::Make() {
    return InterfaceRef<VireoImporter>(new VireoImporter());
}

VireoImporter::~VireoImporter() {
    if (mClient) {
        try {
            mClient->CloseMovie(mMovieIdentifier);
        } catch (...) {
            // Closing is best effort: the server also closes a movie when its session ends.
        }
    }
}

void VireoImporter::AddRef() {
    mRefCount.fetch_add(1, std::memory_order_relaxed);
}

void VireoImporter::Release() {
    if (mRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

std::int32_t VireoImporter::QueryInterfaceNoRef(Guid const& id, OrbUnknown** out) {
    return Orb::AnswerQuery(this, id, out, {&IVireoImporter::kIID, &OrbUnknown::kIID});
}

std::int32_t VireoImporter::QueryInterface(Guid const& id, OrbUnknown** out) {
    std::int32_t const result = QueryInterfaceNoRef(id, out);
    if (result >= 0 && *out) {
        (*out)->AddRef();
    }
    return result;
}

void VireoImporter::Setup(Guid const& movieId, InterfaceRef<IVireoClient> const& client,
                          VireoServer::MovieProperties const& properties) {
    mMovieIdentifier = movieId;
    mClient = client;
    mMovieProperties = properties;
}

IVireoClient* VireoImporter::Client() {
    if (!mClient) {
        throw Orb::NullInterfaceException();
    }
    return mClient.get();
}

void VireoImporter::QuietMovie() {
    IVireoClient* client = Client();
    auto call = boost::make_shared<BlockingCall>();
    boost::function<void()> done = [call] {
        if (call->Claim()) {
            call->rendezvous.Wait();
        }
    };
    // Only wait when the request went out: without a server nothing would ever join.
    InterfaceRef<VireoClient, IVireoClient> concrete(mClient);
    if (concrete) {
        if (concrete->SendQuietMovie(mMovieIdentifier, done)) {
            call->rendezvous.Wait();
        }
        return;
    }
    client->QuietMovie(mMovieIdentifier, boost::function<void()>());
}

void VireoImporter::UnquietMovie() {
    Client()->UnquietMovie(mMovieIdentifier);
}

VireoServer::VideoProperties const& VireoImporter::GetVideoProperties() {
    return mMovieProperties.video;
}

VireoServer::AudioProperties const& VireoImporter::GetAudioProperties() {
    return mMovieProperties.audio;
}

VireoServer::TimecodeProperties const& VireoImporter::GetTimecodeProperties() {
    return mMovieProperties.timecode;
}

long VireoImporter::GetMovieVideo(std::int32_t videoArg1, VireoServer::PixelFormat format,
                                  std::int32_t videoArg2, std::int32_t videoArg3,
                                  InterfaceRef<Kino::IVideoFrame>& frame) {
    frame.reset();
    IVireoClient* client = Client();
    auto call = boost::make_shared<BlockingCall>();
    FrameCallback onFrame = [call](InterfaceRef<Kino::IVideoFrame> const& received, long code) {
        if (call->Claim()) {
            call->frame = received;
            call->result = code;
            call->rendezvous.Wait();
        }
    };
    if (!client->GetMovieVideo(mMovieIdentifier, videoArg1, format, videoArg2, videoArg3, onFrame,
                               Guid::CreateUnique())) {
        return -1;
    }
    call->rendezvous.Wait();
    frame = call->frame;
    call->frame.reset();
    return call->result;
}

bool VireoImporter::RequestMovieVideo(
    std::int32_t videoArg1, VireoServer::PixelFormat format, std::int32_t videoArg2,
    std::int32_t videoArg3,
    boost::function<void(InterfaceRef<Kino::IVideoFrame>, long)> const& onFrame,
    Guid const& requestId) {
    FrameCallback callback = [onFrame](InterfaceRef<Kino::IVideoFrame> const& received, long code) {
        onFrame(received, code);
    };
    return Client()->GetMovieVideo(mMovieIdentifier, videoArg1, format, videoArg2, videoArg3,
                                   callback, requestId);
}

bool VireoImporter::CancelMovieVideo(Guid const& requestId) {
    return Client()->CancelMovieVideo(mMovieIdentifier, requestId);
}

void VireoImporter::GetMovieAudio(std::vector<float>& samples) {
    IVireoClient* client = Client();
    auto call = boost::make_shared<BlockingCall>();
    AudioCallback onAudio = [call](long count, float const* data) {
        if (call->Claim()) {
            if (count > 0 && data) {
                call->samples.assign(data, data + count);
                call->result = 1;
            }
            call->rendezvous.Wait();
        }
    };
    if (client->GetMovieAudio(mMovieIdentifier, onAudio)) {
        call->rendezvous.Wait();
        if (call->result == 1) {
            samples.swap(call->samples);
        }
    }
}

void VireoImporter::RestartMovieAudio() {
    Client()->RestartMovieAudio(mMovieIdentifier);
}

Guid VireoImporter::GetMovieIdentifier() {
    return mMovieIdentifier;
}

InterfaceRef<IVireoImporter> VireoImporter::GetSelfRef() {
    return InterfaceRef<IVireoImporter>(this);
}

}  // namespace VireoClient
