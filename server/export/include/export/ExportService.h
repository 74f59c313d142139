#pragma once
// The export service: every export of the server process, each writing one QuickTime movie from
// frames and audio a host submits. The RPC methods of the export call it one to one:
//
//   "StartExport"               -> Start
//   "CompressAndWriteFrame"     -> SubmitFrame
//   "CompressAndWriteAudio"     -> SubmitAudio
//   "ExportServerProgressPulse" -> Progress
//   "ExportServerShouldCancel"  -> Cancel
//   "ExportCompleted"           -> Complete
//   end of a session            -> AbandonOwner
//
// An export is named by the identifier its host chose and belongs to the caller (`owner`, the
// session) that started it: another owner's calls do not find it. Its movie is written beside
// the destination under a temporary name and renamed into place only when Complete succeeds; a
// cancelled, failed or abandoned export removes its temporary file and never touches a file at
// the destination.
//
// Threads: no call blocks on encoding or on the disk; Start, SubmitFrame, SubmitAudio and
// Complete return at once and answer through their callback, which runs exactly once, on one of
// the service's threads, never inside the call. Each export runs its work in submission order on
// its own strand; different exports encode in parallel. Calls of one export must be made in the
// order the host sent them (the requests of one session are read in order).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "basekit/utility/Guid.h"
#include "export/ExportSettings.h"

namespace vireo::server::exporting {

using OwnerKey = std::int64_t;  // the session an export belongs to
using ExportId = basekit::utility::Guid;

// One video frame in the Pix frame layout, read in place (never copied where the encoder can
// take the bytes as they are).
struct VideoFrameView {
    std::uint32_t fourcc = 0;  // 'BGRA', '2vuy', 'b64a' or 'v210'
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t rowBytes = 0;
    std::uint8_t const* pixels = nullptr;
    std::uint64_t dataSize = 0;  // bytes readable from `pixels`
    // Keeps the pixels readable; dropped, on any thread, once the engine no longer reads them.
    std::shared_ptr<void const> hold;
};

// One block of audio: interleaved samples of the export's mAudioSampleType, read in place.
struct AudioBlockView {
    std::uint8_t const* samples = nullptr;
    std::uint64_t size = 0;  // bytes readable from `samples`
    std::shared_ptr<void const> hold;
};

struct ServiceOptions {
    std::size_t threads = 0;  // threads that convert and encode; 0: one per core, at least 2
    // Where running exports are recorded, so that RemoveAbandonedExports can clean up after a
    // server that died; empty: not recorded (the server passes "<registry>/exports").
    std::string journalDirectory;
};

class ExportService {
  public:
    // Runs exactly once with the call's result code (ExportErrors.h), on a service thread.
    using Callback = std::function<void(std::int32_t result)>;

    explicit ExportService(ServiceOptions options = {});
    // Abandons every export (their callbacks run with kErrAbandoned or kErrShuttingDown) and
    // waits for the service's threads.
    ~ExportService();
    ExportService(ExportService const&) = delete;
    ExportService& operator=(ExportService const&) = delete;

    // Checks the settings, opens the encoders and the temporary movie, and answers 0 or the
    // first refusal; a refused export leaves nothing on disk. Submissions made after Start
    // (before its answer) wait for it.
    void Start(OwnerKey owner, ExportId const& id, ExportSettings settings, Callback done);

    // Frame `frameNumber` (0 = the start of the export's range) of the export. Frame numbers
    // increase; a frame lasts until the next submitted one. Answered once the frame's pixels
    // have been taken by the encoder (so the host may reuse its frame) or refused.
    void SubmitFrame(OwnerKey owner, ExportId const& id, std::uint32_t frameNumber,
                     VideoFrameView frame, Callback done);

    // `sampleCount` sample frames starting at sample `firstSample` (0 = the start of the range).
    // A block that starts after the end of the previous one is preceded by silence.
    void SubmitAudio(OwnerKey owner, ExportId const& id, std::int64_t firstSample,
                     std::int64_t sampleCount, AudioBlockView block, Callback done);

    // Progress, without waiting: the number of video frames taken by the encoder (for an export
    // without video, of audio sample frames, up to 2^31-1), or a negative code: the failure
    // that stopped the export, kErrCancelled, or kErrUnknownExport.
    std::int32_t Progress(OwnerKey owner, ExportId const& id) const;

    // Stops the export: the frame being encoded is the last; every submission not yet done is
    // answered kErrCancelled, the encoders are freed and the temporary movie removed. The export
    // stays known until Complete, which answers kErrCancelled. Returns at once.
    void Cancel(OwnerKey owner, ExportId const& id);

    // Ends the export after every earlier submission. hostStatus 0: flushes the encoders,
    // finishes the movie and renames it into place; answers 0 or the failure. Any other status:
    // the host gives up, nothing is written, the answer is kErrAbandoned. The export is forgotten
    // once answered.
    void Complete(OwnerKey owner, ExportId const& id, std::int32_t hostStatus, Callback done);

    // The owner (session) is gone: each of its exports is cancelled and forgotten, its waiting
    // submissions answered kErrAbandoned. Returns at once.
    void AbandonOwner(OwnerKey owner);

    // Exports known (started and not yet completed or abandoned).
    std::size_t ExportCount() const;

  private:
    struct Impl;
    std::shared_ptr<Impl> mImpl;
};

struct CleanupResult {
    std::size_t removed = 0;  // temporary movies (and their records) of dead servers removed
    std::size_t kept = 0;     // records of servers still running
};

// Removes the temporary movies of exports whose server process is gone (killed, crashed), as
// recorded in `journalDirectory`, and their records. The server calls it once at start; it is
// safe while other servers run. Each record names one temporary file, which is removed only when
// its name is the temporary name of that record's export.
CleanupResult RemoveAbandonedExports(std::string const& journalDirectory);

}  // namespace vireo::server::exporting
