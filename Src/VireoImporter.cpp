#include "VireoImporter.h"

#include <utility>

#include "Kino/VideoFrame.h"
#include "RequestPatterns.h"
#include "VireoClientImpl.h"

namespace VireoClient {

using basekit::utility::Guid;

namespace {

constexpr long kFrameFailed = -1;

struct FrameOutcome {
    InterfaceRef<Kino::IVideoFrame> frame;
    long result = kFrameFailed;
};

struct AudioOutcome {
    bool received = false;
    std::vector<float> samples;
};

}  // namespace

VireoImporter::~VireoImporter() {
    if (mClient) {
        try {
            mClient->CloseMovie(mMovieIdentifier);
        } catch (...) {
            // The server also closes a movie when its session ends, so nothing is lost.
            BASEKIT_REPORT_CAUGHT("closing the movie of a released importer");
        }
    }
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
    if (VIREO_REFUSE_BLOCKING_CALL("VireoImporter::QuietMovie")) {
        return;
    }
    auto outcome = patterns::MakeOneShot(false);
    boost::function<void()> done = [outcome] { outcome->Answer(true); };
    // Only wait when the request went out: without a server nothing would ever answer.
    InterfaceRef<VireoClient, IVireoClient> concrete(mClient);
    if (concrete) {
        if (concrete->SendQuietMovie(mMovieIdentifier, done)) {
            outcome->Wait();
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
    if (VIREO_REFUSE_BLOCKING_CALL("VireoImporter::GetMovieVideo")) {
        return kFrameFailed;
    }
    auto outcome = patterns::MakeOneShot(FrameOutcome());
    FrameCallback onFrame = [outcome](InterfaceRef<Kino::IVideoFrame> const& received, long code) {
        outcome->Answer(FrameOutcome{received, code});
    };
    if (!client->GetMovieVideo(mMovieIdentifier, videoArg1, format, videoArg2, videoArg3, onFrame,
                               Guid::CreateUnique())) {
        return kFrameFailed;
    }
    FrameOutcome received = outcome->Wait();
    frame = std::move(received.frame);
    return received.result;
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
    if (VIREO_REFUSE_BLOCKING_CALL("VireoImporter::GetMovieAudio")) {
        return;
    }
    auto outcome = patterns::MakeOneShot(AudioOutcome());
    AudioCallback onAudio = [outcome](long count, float const* data) {
        AudioOutcome received;
        if (count > 0 && data) {
            received.received = true;
            received.samples.assign(data, data + count);
        }
        outcome->Answer(std::move(received));
    };
    if (client->GetMovieAudio(mMovieIdentifier, onAudio)) {
        AudioOutcome received = outcome->Wait();
        if (received.received) {
            samples.swap(received.samples);
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
