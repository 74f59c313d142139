#pragma once
// VireoImporter: one open movie. Its blocking operations wait for a handler on an RPC or
// shared-data thread; made on such a thread they fail at once (RequestPatterns.h).
#include <array>

#include "Orb/InterfaceRef.h"
#include "Orb/ObjectModel.h"
#include "VireoClient/IVireoClient.h"
#include "VireoClient/IVireoImporter.h"

namespace VireoClient {

class VireoImporter final : public Orb::PrivateImplementation<VireoImporter, IVireoImporter> {
  public:
    static constexpr std::array<basekit::utility::Guid, 2> kInterfaceIds{IVireoImporter::kIID,
                                                                         OrbUnknown::kIID};

    void QuietMovie() override;
    void UnquietMovie() override;
    VireoServer::VideoProperties const& GetVideoProperties() override;
    VireoServer::AudioProperties const& GetAudioProperties() override;
    VireoServer::TimecodeProperties const& GetTimecodeProperties() override;
    long GetMovieVideo(std::int32_t videoArg1, VireoServer::PixelFormat format,
                       std::int32_t videoArg2, std::int32_t videoArg3,
                       InterfaceRef<Kino::IVideoFrame>& frame) override;
    bool RequestMovieVideo(
        std::int32_t videoArg1, VireoServer::PixelFormat format, std::int32_t videoArg2,
        std::int32_t videoArg3,
        boost::function<void(InterfaceRef<Kino::IVideoFrame>, long)> const& onFrame,
        basekit::utility::Guid const& requestId) override;
    bool CancelMovieVideo(basekit::utility::Guid const& requestId) override;
    void GetMovieAudio(std::vector<float>& samples) override;
    void RestartMovieAudio() override;
    basekit::utility::Guid GetMovieIdentifier() override;
    // 16
    InterfaceRef<IVireoImporter> GetSelfRef();

    // Set once by ImportFile before the importer is handed out.
    void Setup(basekit::utility::Guid const& movieId, InterfaceRef<IVireoClient> const& client,
               VireoServer::MovieProperties const& properties);

  private:
    friend class Orb::PrivateImplementation<VireoImporter, IVireoImporter>;
    VireoImporter() = default;
    ~VireoImporter() override;

    IVireoClient* Client();

    VireoServer::MovieProperties mMovieProperties;
    basekit::utility::Guid mMovieIdentifier;
    InterfaceRef<IVireoClient> mClient;
};

}  // namespace VireoClient
