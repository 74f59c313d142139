#include "VireoImporter.h"

#include "Kino/VideoFrame.h"
#include "ObjectModel.h"
#include "VireoClientImpl.h"
#include "basekit/threads/SyncPoint.h"

namespace VireoClient {

using basekit::utility::Guid;

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
    return objectmodel::AnswerQuery(this, id, out, {&IVireoImporter::kIID, &OrbUnknown::kIID});
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
    basekit::threads::SyncPoint rendezvous(2);
    boost::function<void()> done = [&rendezvous] { rendezvous.Wait(); };
    // Only wait when the request went out: without a server nothing would ever join.
    InterfaceRef<VireoClient, IVireoClient> concrete(mClient);
    if (concrete) {
        if (concrete->SendQuietMovie(mMovieIdentifier, done)) {
            rendezvous.Wait();
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
    basekit::threads::SyncPoint rendezvous(2);
    long result = 0;
    FrameCallback onFrame = [&](InterfaceRef<Kino::IVideoFrame> const& received, long code) {
        frame = received;
        result = code;
        rendezvous.Wait();
    };
    if (!client->GetMovieVideo(mMovieIdentifier, videoArg1, format, videoArg2, videoArg3, onFrame,
                               Guid::CreateUnique())) {
        return -1;
    }
    rendezvous.Wait();
    return result;
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
    basekit::threads::SyncPoint rendezvous(2);
    AudioCallback onAudio = [&](long count, float const* data) {
        if (count > 0 && data) {
            samples.assign(data, data + count);
        }
        rendezvous.Wait();
    };
    if (client->GetMovieAudio(mMovieIdentifier, onAudio)) {
        rendezvous.Wait();
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
