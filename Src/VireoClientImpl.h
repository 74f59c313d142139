#pragma once
// VireoClient: the object behind IVireoClient. Each operation that talks to the server follows
// one of five request patterns (see RequestPatterns.h); the connection step Connect runs once.
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

#include "Orb/InterfaceRef.h"
#include "Orb/ObjectModel.h"
#include "VireoClient/IVireoClient.h"
#include "VireoServerManager.h"
#include "basekit/threads/Gate.h"
#include "basekit/threads/RecursiveMutex.h"
#include "crossprocess/CrossProcess.h"

namespace VireoClient {

// Process-wide presence of the media engine: 0 unknown, 1 present, 2 absent.
enum PresenceState : std::int32_t {
    kPresenceUnknown = 0,
    kPresencePresent = 1,
    kPresenceAbsent = 2
};
std::atomic<std::int32_t>& PresenceState();

class VireoClient : public IVireoClient {
  public:
    static constexpr basekit::utility::Guid kIID{"{C0C98739-9E66-40EA-8EDC-3F52970D174D}"};

    // The connection step; a client connects once.
    void Connect(InterfaceRef<VireoServerManager, IVireoServerManager> const& serverManager,
                 bool unique);
    // 38: this client with one reference added.
    virtual InterfaceRef<VireoClient, IVireoClient> GetClientRef() = 0;

    // QuietMovie that says whether the request was sent (done then runs exactly once).
    bool SendQuietMovie(basekit::utility::Guid const& movieId, boost::function<void()> const& done);
    // The last interval given to SetQTFlushIterval while an RPC client existed.
    std::int32_t GetFlushInterval() const { return mFlushInterval.load(); }

    // ---- IVireoClient -----------------------------------------------------------------------
    bool IsQuicktimeAvailable() override;
    void GetImportCodecs(std::vector<std::uint32_t>& codecs) override;
    void GetExportVideoCodecs(std::vector<VireoServer::CodecData>& codecs) override;
    void GetExportAudioCodecs(std::vector<VireoServer::AudioCodecData>& codecs) override;
    void GetQuicktimeCodecName(std::uint32_t fourcc, basekit::UTF16String& name) override;
    void DisplayVideoCodecPrefsDialog(VireoServer::VireoVideoCodecDialogData const& data,
                                      CodecDialogCallback const& onClosed) override;
    void ConvertQTAtomContainerSettingsToCodecSettings(
        VireoServer::VireoConvertCodecSettingsData& data) override;
    void SetQTFlushIterval(std::int32_t interval) override;
    void BringVideoCodecDialogToForeground() override;
    std::int32_t StartExport(basekit::utility::Guid const& exporterId,
                             VireoServer::StartExportData const& settings) override;
    void CompressAndWriteFrame(basekit::utility::Guid const& exporterId,
                               basekit::utility::Guid const& frameId, std::uint32_t frameNumber,
                               std::uint32_t value, bool flag,
                               ExportFrameCallback const& onFrame) override;
    void CompressAndWriteAudio(basekit::utility::Guid const& exporterId,
                               basekit::utility::Guid const& audioId, std::int64_t firstSample,
                               std::int64_t sampleCount,
                               ExportAudioCallback const& onAudio) override;
    void ExportServerProgressPulse(basekit::utility::Guid const& exporterId,
                                   ExportProgressCallback const& onProgress) override;
    void ExportServerShouldCancel(basekit::utility::Guid const& exporterId) override;
    void ExportCompleted(basekit::utility::Guid const& exporterId, std::int32_t status,
                         ExportCompletionCallback const& onCompleted) override;
    bool GetExternalReferencesList(basekit::UTF16String const& moviePath,
                                   ReferenceListCallback const& onList) override;
    bool OpenMovieFromFile(basekit::UTF16String const& path, bool flag1, bool flag2, bool flag3,
                           OpenMovieCallback const& onOpened) override;
    void CloseMovie(basekit::utility::Guid const& movieId) override;
    void QuietMovie(basekit::utility::Guid const& movieId,
                    boost::function<void()> const& done) override;
    void UnquietMovie(basekit::utility::Guid const& movieId) override;
    bool GetMovieVideo(basekit::utility::Guid const& movieId, std::int32_t videoArg1,
                       VireoServer::PixelFormat format, std::int32_t videoArg2,
                       std::int32_t videoArg3, FrameCallback const& onFrame,
                       basekit::utility::Guid const& requestId) override;
    bool CancelMovieVideo(basekit::utility::Guid const& movieId,
                          basekit::utility::Guid const& requestId) override;
    bool GetMovieAudio(basekit::utility::Guid const& movieId,
                       AudioCallback const& onAudio) override;
    void RestartMovieAudio(basekit::utility::Guid const& movieId) override;
    bool TrimMovie(VireoServer::TrimMovieParams const& params, TrimCallback const& onDone) override;
    void GetQTVOutComponents(std::vector<VireoServer::QTVOutComponent>& components) override;
    void QTVOutBeginUsingComponent(VireoServer::QTVOutUseComponentData& data) override;
    void QTVOutGetActiveDisplayModeData(VireoServer::QTVGetActiveDisplayModeData& data) override;
    void QTVOutBeginBlitting(InterfaceRef<Kino::IVideoFrame> frame,
                             VireoServer::QTVOutOperationResult& result) override;
    void QTVOutBlitFrame(InterfaceRef<Kino::IVideoFrame> frame,
                         VireoServer::QTVOutOperationResult& result) override;
    void QTVOutEndBlitting(VireoServer::QTVOutOperationResult& result) override;
    void QTVOutEndUsingComponent(VireoServer::QTVOutOperationResult& result) override;
    ImportableFileExtensions GetImportableFileExtensions() override;

    // ---- Handlers (run on RPC or shared-data threads) -----------------------------------------
    void OnFrameData(basekit::utility::Guid const& requestId,
                     crossprocess::BinaryReferencePtr const& reference, long status,
                     long serverError);
    void OnGetMovieVideoResult(basekit::serialization::VariantPtr const& answer,
                               basekit::utility::Guid const& requestId);

  protected:
    VireoClient();
    ~VireoClient() override;

    // The RPC client of the server manager; throws Orb::NullInterfaceException without one.
    boost::shared_ptr<basemarshal::RPCClient> TakeRPCClient();

  private:
    friend struct ConnectionRequests;

    // Sends a connection-step request and waits at `gate` until its answer, error or the absence
    // of an RPC client opened it. `store` runs on an RPC thread with the answer.
    void ConnectionRequest(const char* method,
                           boost::function<void(basekit::serialization::VariantPtr const&)> store,
                           basekit::threads::Gate& gate, bool wait);

    // The video-output requests that share one shape: a blit ("QTVOutBeginBlitting",
    // "QTVOutBlitFrame") and a request without arguments answered by an outcome record.
    void BlitVideoOutputFrame(const char* method, InterfaceRef<Kino::IVideoFrame> frame,
                              VireoServer::QTVOutOperationResult& result);
    void SimpleVideoOutputRequest(const char* method, VireoServer::QTVOutOperationResult& result);

    basekit::threads::RecursiveMutex mConnectionMutex;
    InterfaceRef<VireoServerManager, IVireoServerManager> mServerManager;
    bool mInitializedServerManager = false;
    std::atomic<std::uint32_t> mServerProcessID{0};
    std::vector<std::uint32_t> mImportCodecs;
    std::vector<VireoServer::CodecData> mExportVideoCodecs;
    std::vector<VireoServer::AudioCodecData> mExportAudioCodecs;
    ImportableFileExtensions mImportableFileExtensions;
    std::atomic<bool> mFileTypesRequested{false};
    std::atomic<bool> mCodecDialogShowing{false};
    basekit::threads::Gate mCatalogueGate{false};
    basekit::threads::Gate mFileTypesGate{false};
    basekit::threads::RecursiveMutex mRequestMutex;
    std::map<basekit::utility::Guid, FrameCallback> mPendingVideoRequests;
    // Looked up on every codec name request: hashed, so a long list costs no more than a short one.
    std::unordered_map<std::uint32_t, basekit::UTF16String> mCodecNames;
    basekit::threads::RecursiveMutex mCodecNamesMutex;
    std::atomic<std::int32_t> mFlushInterval{0};
    basekit::threads::RecursiveMutex mListsMutex;

    // Callbacks of export submissions and completions waiting for their answer, keyed by the
    // published frame, published audio and exporter identifier. Every table under `lock`; a
    // callback runs while it is held (it is recursive, so a callback may submit again).
    struct ExportCallbacks {
        struct Frame {
            basekit::utility::Guid exporterId;
            std::uint32_t frameNumber = 0;
            ExportFrameCallback callback;
        };
        struct Audio {
            basekit::utility::Guid exporterId;
            ExportAudioCallback callback;
        };
        basekit::threads::RecursiveMutex lock;
        std::map<basekit::utility::Guid, Frame> mFrameCallbacks;
        std::map<basekit::utility::Guid, Audio> mAudioCallbacks;
        std::map<basekit::utility::Guid, ExportCompletionCallback> mCompletionCallbacks;
    };
    ExportCallbacks mExportCallbacks;

    // Deliveries by the identifier a record carries (ClientExport.cpp): the waiting callback, if
    // any, is taken out of its table and run once; an exception it throws is reported.
    void DeliverFrameRecord(VireoServer::ExportFrameReceivedData const& record);
    void DeliverAudioRecord(VireoServer::ExportAudioDataReceived const& record);
    void DeliverCompletionRecord(VireoServer::ExportCompletedData const& record);
};

// The process-wide shared client.
class VireoSingletonClient final
    : public Orb::SharedImplementation<VireoSingletonClient, VireoClient> {
  public:
    static constexpr basekit::utility::Guid kIID{"{FA9DD991-DB74-471E-BBEA-5376A1169C0B}"};
    static constexpr std::array<basekit::utility::Guid, 4> kInterfaceIds{
        kIID, IVireoClient::kIID, VireoClient::kIID, OrbUnknown::kIID};

    InterfaceRef<VireoClient, IVireoClient> GetClientRef() override;

    VireoSingletonClient() = default;
    ~VireoSingletonClient() override = default;
};

// A private client, with a server process of its own.
class VireoUniqueClient final : public Orb::PrivateImplementation<VireoUniqueClient, VireoClient> {
  public:
    static constexpr basekit::utility::Guid kIID{"{2A6E54A5-F05A-4B21-82DD-21DE0637B5BE}"};
    static constexpr std::array<basekit::utility::Guid, 4> kInterfaceIds{
        kIID, IVireoClient::kIID, VireoClient::kIID, OrbUnknown::kIID};

    InterfaceRef<VireoClient, IVireoClient> GetClientRef() override;

  private:
    friend class Orb::PrivateImplementation<VireoUniqueClient, VireoClient>;
    VireoUniqueClient() = default;
    ~VireoUniqueClient() override = default;
};

}  // namespace VireoClient
