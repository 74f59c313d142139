#pragma once
// The QuickTime muxer of one export, writing through an open file descriptor (the temporary
// movie) rather than a path, so nothing but that file is ever opened for writing.
#include <cstdint>
#include <string>
#include <vector>

#include "Plan.h"
#include "engine/FFmpegHandles.h"

namespace vireo::server::exporting::detail {

class MovieWriter {
  public:
    MovieWriter() = default;
    ~MovieWriter();
    MovieWriter(MovieWriter const&) = delete;
    MovieWriter& operator=(MovieWriter const&) = delete;

    // Sets up the muxer. kExportOK or a code.
    std::int32_t Open();
    // A stream for an opened encoder; null on failure.
    AVStream* AddStream(AVCodecContext const* encoder, AVRational timeBase);
    // The closed-caption track and the chapters of the plan (before WriteHeader).
    std::int32_t AddCaptions(EncodePlan const& plan);
    void AddChapters(EncodePlan const& plan);
    // Starts the file in `fd` (open for reading and writing, not taken over).
    std::int32_t WriteHeader(int fd);

    // Writes one packet of `stream`, its times in `from` units. kExportOK or a code.
    std::int32_t Write(AVPacket* packet, AVRational from, AVStream* stream);
    // Writes the captions, the index and the end of the file.
    std::int32_t Finish();

  private:
    static int WriteBytes(void* opaque, std::uint8_t* data, int size);
    static std::int64_t Seek(void* opaque, std::int64_t offset, int whence);
    std::int32_t WriteCaptions();
    std::int32_t Failure(int averror) const;

    AVFormatContext* mContext = nullptr;
    AVIOContext* mIO = nullptr;
    int mFd = -1;
    int mWriteErrno = 0;  // the first error of the file, for the result code
    AVStream* mCaptionStream = nullptr;
    std::vector<CaptionPlan> mCaptions;
};

// Sets the poster time (`microseconds` of movie time) in the movie header of the finished movie
// in `fd`. kExportOK or kErrWriteFailed.
std::int32_t WritePosterTime(int fd, std::int64_t microseconds);
// Reads it back (seconds), for tests and diagnostics; false when the file has no movie header.
bool ReadPosterTime(int fd, double& seconds);

}  // namespace vireo::server::exporting::detail
