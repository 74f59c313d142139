#pragma once
// Helpers of the export tests: scratch directories, pictures in every submitted format,
// settings for small exports, waiting for the service's answers, and reading movies back with
// the decoding engine and with FFmpeg's demuxer.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "export/ExportService.h"
#include "export/ExportSettings.h"

namespace vireo::test::exporting {

namespace ex = vireo::server::exporting;

// A directory of its own for one test, removed with everything in it when destroyed.
class ScratchDirectory {
  public:
    ScratchDirectory();
    ~ScratchDirectory();
    std::string const& Path() const { return mPath; }
    std::string File(std::string const& name) const { return mPath + "/" + name; }
    // Names of everything in the directory (hidden files too), sorted.
    std::vector<std::string> Names() const;

  private:
    std::string mPath;
};

// A picture in one of the submitted formats, made from smooth gradients that move with the frame
// number (so a frame out of place lowers the PSNR) and survive chroma subsampling.
struct TestFrame {
    std::uint32_t fourcc = 0;
    std::uint32_t width = 0, height = 0, rowBytes = 0;
    std::shared_ptr<std::vector<std::uint8_t>> bytes;
    ex::VideoFrameView View() const;
};
// `alpha`: BGRA and b64a frames get a varying alpha channel (otherwise opaque).
TestFrame MakeFrame(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height, int index,
                    bool alpha = false, std::uint32_t extraRowBytes = 0);

// Settings of a video export of `frames` frames at 25 fps into `path`.
ex::ExportSettings VideoSettings(std::string const& path, std::uint32_t codec, std::uint32_t width,
                                 std::uint32_t height, int frames);
// Settings of an audio-only export of `samples` sample frames.
ex::ExportSettings AudioSettings(std::string const& path, std::uint32_t codec, int rate,
                                 int channels, std::int64_t samples);
// Ticks of one frame at 25 fps, at the catalogue's tick rate.
std::int64_t TicksPerFrame();

// Calls of the service, waiting (with a time limit) for their answer.
std::int32_t StartExport(ex::ExportService& service, ex::OwnerKey owner, ex::ExportId const& id,
                         ex::ExportSettings const& settings);
std::int32_t SubmitFrame(ex::ExportService& service, ex::OwnerKey owner, ex::ExportId const& id,
                         std::uint32_t number, TestFrame const& frame);
std::int32_t SubmitAudio(ex::ExportService& service, ex::OwnerKey owner, ex::ExportId const& id,
                         std::int64_t first, std::int64_t count,
                         std::vector<std::uint8_t> const& bytes);
std::int32_t CompleteExport(ex::ExportService& service, ex::OwnerKey owner, ex::ExportId const& id,
                            std::int32_t status = 0);

// Collects the answers of calls made without waiting.
class Answers {
  public:
    Answers();
    ex::ExportService::Callback Next();  // a callback that records its answer
    // Waits until `count` answers came; false on time-out.
    bool WaitFor(std::size_t count);
    std::vector<std::int32_t> Results() const;

  private:
    struct State;
    std::shared_ptr<State> mState;
};

// Whole export of `frames` frames made by MakeFrame(fourcc) (`still`: all of them frame 0): 0,
// or the first failure.
std::int32_t ExportFrames(ex::ExportService& service, ex::ExportSettings const& settings,
                          std::uint32_t fourcc, int frames, bool alpha = false, bool still = false);

ex::ExportId NewId();

// PSNR (dB) of two equal-sized byte sequences of 8-bit samples, or of big-endian 16-bit ones
// ('b64a') against a peak of 65535; 200 when identical.
double Psnr(std::uint8_t const* a, std::uint8_t const* b, std::size_t size,
            bool sixteenBit = false);

// What FFmpeg's demuxer finds in a movie.
struct Chapter {
    double start = 0, end = 0;
    std::string title;
};
struct DemuxedMovie {
    bool opened = false;
    std::vector<Chapter> chapters;
    std::vector<std::vector<std::uint8_t>> captionPairs;  // CEA-608 pairs of each caption sample
    std::vector<double> captionTimes;                     // seconds
    std::vector<std::vector<std::uint8_t>> videoPackets;
    std::vector<bool> videoKeyFrames;  // per packet, in file order
    int reorderedPackets = 0;          // packets whose presentation time is not their decoding time
    std::uint32_t videoTag = 0;        // the video sample description's FourCC
    int videoProfile = -1;             // FFmpeg's profile of the video stream
    int videoPixelFormat = -1;         // FFmpeg's pixel format of the video stream
};
DemuxedMovie Demux(std::string const& path);

// A movie of `frames` BGRA test pictures (frame 0 over and over when `still`, which gives an
// encoder no reason for key frames of its own) exported with `settings` into a scratch directory:
// what the demuxer finds in it, and its size in bytes.
struct Written {
    DemuxedMovie movie;
    std::uintmax_t bytes = 0;
};
Written ExportAndDemux(ex::ExportSettings settings, int frames, bool still = false);

// The movie header's poster time, in seconds; -1 when it cannot be read.
double PosterTime(std::string const& path);

}  // namespace vireo::test::exporting
