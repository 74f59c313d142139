#pragma once
// One export: its plan, encoders, muxer and temporary movie, and the state the service's calls
// read. The work methods run on the export's strand, one at a time, in submission order; the
// stop request and the counters may be used from any thread.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "AudioEncoder.h"
#include "MovieWriter.h"
#include "Plan.h"
#include "TemporaryMovie.h"
#include "VideoEncoder.h"
#include "export/ExportService.h"

namespace vireo::server::exporting::detail {

class ExportSession {
  public:
    ExportSession(OwnerKey owner, ExportId const& id, std::string journal)
        : mOwner(owner), mId(id), mJournal(std::move(journal)) {}
    ~ExportSession() { Discard(); }
    ExportSession(ExportSession const&) = delete;
    ExportSession& operator=(ExportSession const&) = delete;

    OwnerKey Owner() const { return mOwner; }
    ExportId const& Id() const { return mId; }

    // Strand work. Each answers its call's result.
    std::int32_t Start(ExportSettings const& settings);
    std::int32_t Frame(std::uint32_t frameNumber, VideoFrameView const& frame);
    std::int32_t Audio(std::int64_t firstSample, std::int64_t sampleCount,
                       AudioBlockView const& block);
    std::int32_t Finish(std::int32_t hostStatus);
    // Frees the encoders and removes the temporary movie. Idempotent.
    void Discard();

    // Any thread.
    // Stops the export with `code` (kErrCancelled, kErrAbandoned, kErrShuttingDown): the work
    // not yet started answers it. The first request wins.
    void RequestStop(std::int32_t code);
    // Marks the export as completing; false when it already was.
    bool BeginCompletion() { return !mCompleting.exchange(true); }
    bool Completing() const { return mCompleting.load(); }
    std::int32_t Progress() const;

  private:
    std::int32_t Refusal() const;  // the code work answers without running, or kExportOK
    std::int32_t Fail(std::int32_t code);

    OwnerKey const mOwner;
    ExportId const mId;
    std::string const mJournal;

    // Shared state (declared first: the encoders refer to mStop).
    std::atomic<std::int32_t> mStop{0};
    std::atomic<std::int32_t> mFailure{0};
    std::atomic<bool> mCompleting{false};
    std::atomic<std::int64_t> mFramesTaken{0};
    std::atomic<std::int64_t> mSamplesTaken{0};
    std::atomic<bool> mHasVideo{false};

    // Strand state.
    EncodePlan mPlan;
    std::unique_ptr<MovieWriter> mWriter;
    std::unique_ptr<VideoEncoder> mVideo;
    std::unique_ptr<AudioEncoder> mAudio;
    std::unique_ptr<TemporaryMovie> mFile;
    bool mRunning = false;   // started
    bool mFinished = false;  // completion ran
    std::int64_t mLastFrame = -1;
};

}  // namespace vireo::server::exporting::detail
