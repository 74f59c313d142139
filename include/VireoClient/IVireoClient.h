#pragma once
// IVireoClient: the host's way to the media engine in the server process. Every operation that
// talks to the server is one named RPC call. Callbacks run on threads of the RPC client or of the
// shared-data layer, never on the calling thread.
//
// An asynchronous operation that returned true answers its callback exactly once: an answer that
// cannot be read counts as a failed one, and what the callback itself throws is reported through
// the host's report service and goes no further. A synchronous operation called on a thread that
// runs the library's handlers (inside one of these callbacks) would wait for itself: it returns at
// once with its out-parameters untouched, after a contract report.
#include <boost/function.hpp>
#include <cstdint>
#include <utility>
#include <vector>

#include "Orb/InterfaceRef.h"
#include "Orb/OrbUnknown.h"
#include "VireoServer/MovieRecords.h"
#include "VireoServer/ServiceRecords.h"
#include "basekit/Strings.h"
#include "basekit/utility/Guid.h"

namespace Kino {
class IVideoFrame;
}

namespace VireoClient {

// A frame request completed: frame and 0 on success; otherwise an empty frame and -1 or the
// server's code. The holder is lent for the call. Runs on an RPC or shared-data thread.
using FrameCallback = boost::function<void(InterfaceRef<Kino::IVideoFrame> const&, long)>;
// Audio of one request: the count of 32-bit floats and a pointer valid during the call, or 0 and
// null on failure. Runs on an RPC or shared-data thread.
using AudioCallback = boost::function<void(long, float const*)>;
// Runs on an RPC thread once the answer to an open request (or its failure) is known.
using OpenMovieCallback = boost::function<void(VireoServer::OpenMovieFromFileResult const&)>;

using ExportFrameCallback = boost::function<void(VireoServer::ExportFrameReceivedData)>;
using ExportAudioCallback = boost::function<void(VireoServer::ExportAudioDataReceived)>;
using ExportProgressCallback = boost::function<void(std::int32_t, std::uint32_t)>;
using ExportCompletionCallback = boost::function<void(VireoServer::ExportCompletedData)>;
using CodecDialogCallback = boost::function<void(VireoServer::VireoVideoCodecDialogData const&)>;
using ReferenceListCallback = boost::function<void(std::vector<basekit::UTF16String> const&)>;
using TrimCallback = boost::function<void(long)>;
using ImportableFileExtensions = std::vector<VireoServer::ImportableFileExtensionItem>;

class IVireoClient : public OrbUnknown {
  public:
    static constexpr basekit::utility::Guid kIID{"{85A3E3F7-E890-4049-8274-FFB5617AD9ED}"};

    // 5: false when "QT.DisableVireo" is "true", otherwise whether the engine is present.
    virtual bool IsQuicktimeAvailable() = 0;
    // 6-8: copies of the catalogues fetched at connection.
    virtual void GetImportCodecs(std::vector<std::uint32_t>& codecs) = 0;
    virtual void GetExportVideoCodecs(std::vector<VireoServer::CodecData>& codecs) = 0;
    virtual void GetExportAudioCodecs(std::vector<VireoServer::AudioCodecData>& codecs) = 0;
    // 9
    virtual void GetQuicktimeCodecName(std::uint32_t fourcc, basekit::UTF16String& name) = 0;
    // 10
    virtual void DisplayVideoCodecPrefsDialog(VireoServer::VireoVideoCodecDialogData const& data,
                                              CodecDialogCallback const& onClosed) = 0;
    // 11
    virtual void ConvertQTAtomContainerSettingsToCodecSettings(
        VireoServer::VireoConvertCodecSettingsData& data) = 0;
    // 12
    virtual void SetQTFlushIterval(std::int32_t interval) = 0;
    // 13
    virtual void BringVideoCodecDialogToForeground() = 0;
    // 14
    virtual std::int32_t StartExport(basekit::utility::Guid const& exporterId,
                                     VireoServer::StartExportData const& settings) = 0;
    // 15-19: the export's submissions, progress, cancel and completion (docs/export.md). The
    // callbacks of 15, 16 and 19 run exactly once, on an RPC thread under the client's export
    // lock, with the server's record or one with result -1 (no answer, or no server: then on the
    // calling thread before the call returns). 17's runs on an RPC thread, never without a server.
    // 15
    virtual void CompressAndWriteFrame(basekit::utility::Guid const& exporterId,
                                       basekit::utility::Guid const& frameId,
                                       std::uint32_t frameNumber, std::uint32_t value, bool flag,
                                       ExportFrameCallback const& onFrame) = 0;
    // 16
    virtual void CompressAndWriteAudio(basekit::utility::Guid const& exporterId,
                                       basekit::utility::Guid const& audioId,
                                       std::int64_t firstSample, std::int64_t sampleCount,
                                       ExportAudioCallback const& onAudio) = 0;
    // 17
    virtual void ExportServerProgressPulse(basekit::utility::Guid const& exporterId,
                                           ExportProgressCallback const& onProgress) = 0;
    // 18
    virtual void ExportServerShouldCancel(basekit::utility::Guid const& exporterId) = 0;
    // 19
    virtual void ExportCompleted(basekit::utility::Guid const& exporterId, std::int32_t status,
                                 ExportCompletionCallback const& onCompleted) = 0;
    // 20: true when sent; onList then runs exactly once with the full paths of the files the
    // movie refers to (an empty list after an error).
    virtual bool GetExternalReferencesList(basekit::UTF16String const& moviePath,
                                           ReferenceListCallback const& onList) = 0;
    // 21: true when sent; onOpened then runs exactly once.
    virtual bool OpenMovieFromFile(basekit::UTF16String const& path, bool flag1, bool flag2,
                                   bool flag3, OpenMovieCallback const& onOpened) = 0;
    // 22: fire and forget.
    virtual void CloseMovie(basekit::utility::Guid const& movieId) = 0;
    // 23: done runs when the answer or an error has arrived.
    virtual void QuietMovie(basekit::utility::Guid const& movieId,
                            boost::function<void()> const& done) = 0;
    // 24
    virtual void UnquietMovie(basekit::utility::Guid const& movieId) = 0;
    // 25: true when the request is under way; onFrame then runs once unless cancelled first.
    virtual bool GetMovieVideo(basekit::utility::Guid const& movieId, std::int32_t videoArg1,
                               VireoServer::PixelFormat format, std::int32_t videoArg2,
                               std::int32_t videoArg3, FrameCallback const& onFrame,
                               basekit::utility::Guid const& requestId) = 0;
    // 26: true when the request was still in flight; its callback will then never run.
    virtual bool CancelMovieVideo(basekit::utility::Guid const& movieId,
                                  basekit::utility::Guid const& requestId) = 0;
    // 27: true when the request is under way; onAudio then runs once.
    virtual bool GetMovieAudio(basekit::utility::Guid const& movieId,
                               AudioCallback const& onAudio) = 0;
    // 28
    virtual void RestartMovieAudio(basekit::utility::Guid const& movieId) = 0;
    // 29: true when sent; onDone then runs exactly once with the server's code (0: done), or 5
    // when the request failed.
    virtual bool TrimMovie(VireoServer::TrimMovieParams const& params,
                           TrimCallback const& onDone) = 0;
    // 30-36
    virtual void GetQTVOutComponents(std::vector<VireoServer::QTVOutComponent>& components) = 0;
    virtual void QTVOutBeginUsingComponent(VireoServer::QTVOutUseComponentData& data) = 0;
    virtual void QTVOutGetActiveDisplayModeData(VireoServer::QTVGetActiveDisplayModeData& data) = 0;
    virtual void QTVOutBeginBlitting(InterfaceRef<Kino::IVideoFrame> frame,
                                     VireoServer::QTVOutOperationResult& result) = 0;
    virtual void QTVOutBlitFrame(InterfaceRef<Kino::IVideoFrame> frame,
                                 VireoServer::QTVOutOperationResult& result) = 0;
    virtual void QTVOutEndBlitting(VireoServer::QTVOutOperationResult& result) = 0;
    virtual void QTVOutEndUsingComponent(VireoServer::QTVOutOperationResult& result) = 0;
    // 37: the importable file types learnt at connection (empty when they were never asked for).
    virtual ImportableFileExtensions GetImportableFileExtensions() = 0;
};

}  // namespace VireoClient
