#pragma once
// Copying the packets of a range from a source movie into a new QuickTime movie.
//
// Each track of the source becomes a plan: which packets it needs and what was written. Video
// needs the packets from the key frame at or before the range's start (in decoding order) up
// to the last one that decodes before the range's end: a frame shown before the end decodes
// before it, and so do the frames it refers to. Audio needs the packets whose samples overlap
// the range, and for compressed audio some before it (the decoder's warm-up). Text tracks keep
// the samples that overlap the range, cut to it. The movie's timestamps are moved so that the
// range starts at 0; packets before it get negative times, which the edit lists then hide.
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "EditLists.h"
#include "TrimRange.h"
#include "files/Trim.h"

struct AVFormatContext;
struct AVPacket;
struct AVStream;

namespace vireo::server::files {

class OutputFile;
class SourceInput;

class TrimWriter {
  public:
    TrimWriter(SourceInput& source, TimeRange const& range, TrimControl const& control);
    ~TrimWriter();
    TrimWriter(TrimWriter const&) = delete;
    TrimWriter& operator=(TrimWriter const&) = delete;

    // Chooses the tracks to copy and checks the range against the movie: 0,
    // kErrNoDecodableStream, kErrTrimUnsupportedMovie or kErrTrimOutOfRange.
    std::int32_t Plan();

    // Copies the range into `output` and sets its edit lists: 0, kErrTrimSourceDamaged,
    // kErrTrimWriteFailed, kErrTrimUnsupportedMovie, kErrTrimCancelled or an engine code.
    // Reports progress up to 0.95.
    std::int32_t Write(OutputFile& output);

  private:
    enum class Role { kVideo, kAudio, kText, kCaption };
    struct StreamPlan;
    struct Pending {
        std::size_t plan;
        AVPacket* packet;
    };
    enum class Step { kContinue, kRestart, kFailed };

    std::int32_t PlanStream(int index);
    std::int32_t CheckRange() const;
    void SetStreamTimes();
    std::int32_t CreateOutput(OutputFile& output);
    std::int32_t CopyPackets(OutputFile& output, bool fromStart, bool& restart);
    // Each takes `packet` over.
    Step Take(StreamPlan& plan, std::size_t index, AVPacket* packet, bool fromStart);
    Step Emit(StreamPlan& plan, std::size_t index, AVPacket* packet);
    // Cuts an uncompressed audio packet at the range's end; false when out of memory.
    bool CutAtRangeEnd(StreamPlan const& plan, AVPacket* packet);
    // Emits a video track's held-back last packet, lengthened to the range's end when needed.
    Step EndTrack(StreamPlan& plan, std::size_t index);
    bool ReadyForHeader() const;
    std::int32_t WriteHeader(OutputFile& output);
    std::int32_t WritePacket(StreamPlan& plan, AVPacket* packet, OutputFile& output);
    std::int32_t Flush(OutputFile& output);
    void DropPending(std::size_t plan);
    void ClearPending();
    // TrimMetadata.cpp: what the new movie says besides its tracks' media.
    void SetTimecodes();
    bool CopyChapters();  // false when out of memory
    std::int64_t FirstShownTime(std::size_t plan) const;
    void ReportProgress(StreamPlan const& plan, AVPacket const* packet);
    std::vector<TrackTiming> Timings() const;
    bool AllDone() const;

    SourceInput& mSource;
    TimeRange mRange;
    TrimControl const& mControl;
    std::vector<std::unique_ptr<StreamPlan>> mPlans;
    std::size_t mReference = 0;  // the plan whose first frame is the movie's time 0
    AVFormatContext* mOutput = nullptr;
    OutputFile* mOutputFile = nullptr;  // once the header is written
    std::deque<Pending> mPending;
    std::size_t mPendingBytes = 0;
    bool mHeaderWritten = false;
    std::int64_t mProgressFrom = 0;
    double mReported = -1;
    std::int32_t mWriteError = 0;
};

}  // namespace vireo::server::files
