#pragma once
// VireoImporter: one open movie. Its blocking operations wait at a rendezvous for a handler on
// an RPC or shared-data thread; they must not be called on such a thread.
#include <atomic>

#include "Orb/InterfaceRef.h"
#include "VireoClient/IVireoClient.h"
#include "VireoClient/IVireoImporter.h"

namespace VireoClient {

class VireoImporter final : public IVireoImporter {
  public:
    static InterfaceRef<VireoImporter> Make();

    void AddRef() override;
    void Release() override;
    std::int32_t QueryInterface(basekit::utility::Guid const& id, OrbUnknown** out) override;
    std::int32_t QueryInterfaceNoRef(basekit::utility::Guid const& id, OrbUnknown** out) override;

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
    VireoImporter() = default;
    ~VireoImporter() override;

    IVireoClient* Client();

    std::atomic<std::uint32_t> mRefCount{0};
    VireoServer::MovieProperties mMovieProperties;
    basekit::utility::Guid mMovieIdentifier;
    InterfaceRef<IVireoClient> mClient;
};

}  // namespace VireoClient
