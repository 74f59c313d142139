#include "ExportSession.h"

#include "export/ExportErrors.h"

namespace vireo::server::exporting::detail {

namespace {

// Failures of the encoders or the file end the export; refusals of one submission do not.
bool EndsExport(std::int32_t code) {
    return code == kErrEncoderFailed || code == kErrWriteFailed || code == kErrOutOfMemory;
}

std::string DirectoryOf(std::string const& path) {
    std::size_t const slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void ExportSession::RequestStop(std::int32_t code) {
    std::int32_t none = 0;
    mStop.compare_exchange_strong(none, code);
}

std::int32_t ExportSession::Refusal() const {
    if (std::int32_t stop = mStop.load(); stop != 0) {
        return stop;
    }
    if (mFinished) {
        return kErrCompleting;
    }
    if (!mRunning) {
        return kErrUnknownExport;  // its start failed
    }
    return mFailure.load();
}

std::int32_t ExportSession::Fail(std::int32_t code) {
    if (EndsExport(code)) {
        mFailure.store(code);
        Discard();
    }
    return code;
}

std::int32_t ExportSession::Start(ExportSettings const& settings) {
    if (std::int32_t stop = mStop.load(); stop != 0) {
        return stop;
    }
    if (std::int32_t r = MakePlan(settings, mPlan); r != kExportOK) {
        return r;
    }
    if (std::int32_t r = CheckDestination(mPlan.destination); r != kExportOK) {
        return r;
    }
    // Everything that can refuse the settings runs before the file exists.
    mWriter = std::make_unique<MovieWriter>();
    if (std::int32_t r = mWriter->Open(); r != kExportOK) {
        Discard();
        return r;
    }
    if (mPlan.hasVideo) {
        mVideo = std::make_unique<VideoEncoder>(mPlan.video, mStop);
        if (std::int32_t r = mVideo->Open(*mWriter); r != kExportOK) {
            Discard();
            return r;
        }
    }
    if (mPlan.hasAudio) {
        mAudio = std::make_unique<AudioEncoder>(mPlan.audio, mStop);
        if (std::int32_t r = mAudio->Open(*mWriter); r != kExportOK) {
            Discard();
            return r;
        }
    }
    if (std::int32_t r = mWriter->AddCaptions(mPlan); r != kExportOK) {
        Discard();
        return r;
    }
    mWriter->AddChapters(mPlan);
    RemoveDeadTemporariesIn(DirectoryOf(mPlan.destination));
    if (std::int32_t r = TemporaryMovie::Create(mPlan.destination, mJournal, mFile);
        r != kExportOK) {
        Discard();
        return r;
    }
    if (std::int32_t r = mWriter->WriteHeader(mFile->Descriptor()); r != kExportOK) {
        Discard();
        return r;
    }
    mHasVideo.store(mPlan.hasVideo);
    mRunning = true;
    return kExportOK;
}

std::int32_t ExportSession::Frame(std::uint32_t frameNumber, VideoFrameView const& frame) {
    if (std::int32_t refusal = Refusal(); refusal != kExportOK) {
        return refusal;
    }
    if (!mVideo) {
        return kErrNoVideoTrack;
    }
    if (std::int64_t(frameNumber) <= mLastFrame || frameNumber >= mPlan.video.frameLimit) {
        return kErrFrameNumber;
    }
    if (std::int32_t r = mVideo->Check(frame); r != kExportOK) {
        return r;
    }
    if (std::int32_t r = mVideo->Encode(frameNumber, frame); r != kExportOK) {
        return Fail(r);
    }
    mLastFrame = frameNumber;
    mFramesTaken.fetch_add(1);
    return kExportOK;
}

std::int32_t ExportSession::Audio(std::int64_t firstSample, std::int64_t sampleCount,
                                  AudioBlockView const& block) {
    if (std::int32_t refusal = Refusal(); refusal != kExportOK) {
        return refusal;
    }
    if (!mAudio) {
        return kErrNoAudioTrack;
    }
    if (std::int32_t r = mAudio->Check(firstSample, sampleCount, block); r != kExportOK) {
        return r;
    }
    if (std::int32_t r = mAudio->Encode(firstSample, sampleCount, block); r != kExportOK) {
        return Fail(r);
    }
    mSamplesTaken.store(mAudio->Position());
    return kExportOK;
}

std::int32_t ExportSession::Finish(std::int32_t hostStatus) {
    std::int32_t result = Refusal();
    mFinished = true;
    if (result == kExportOK && hostStatus != 0) {
        result = kErrAbandoned;
    }
    if (result == kExportOK && mFramesTaken.load() == 0 && mSamplesTaken.load() == 0) {
        result = kErrNothingWritten;
    }
    if (result == kExportOK && mVideo) {
        result = mVideo->Flush();
    }
    if (result == kExportOK && mAudio) {
        result = mAudio->Flush();
    }
    if (result == kExportOK) {
        result = mWriter->Finish();
    }
    if (result == kExportOK && mPlan.posterMicroseconds > 0) {
        result = WritePosterTime(mFile->Descriptor(), mPlan.posterMicroseconds);
    }
    if (result == kExportOK) {
        result = mFile->Commit();
    }
    Discard();
    return result;
}

void ExportSession::Discard() {
    // Encoders first: a frame written as it is may still be held by the muxer.
    mVideo.reset();
    mAudio.reset();
    mWriter.reset();
    if (mFile) {
        mFile->Discard();
        mFile.reset();
    }
}

std::int32_t ExportSession::Progress() const {
    if (std::int32_t stop = mStop.load(); stop != 0) {
        return stop;
    }
    if (std::int32_t failure = mFailure.load(); failure != 0) {
        return failure;
    }
    std::int64_t const count = mHasVideo.load() ? mFramesTaken.load() : mSamplesTaken.load();
    return std::int32_t(std::min<std::int64_t>(count, INT32_MAX));
}

}  // namespace vireo::server::exporting::detail
