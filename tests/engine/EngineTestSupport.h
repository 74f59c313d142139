#pragma once
// Helpers shared by the engine tests: where the samples are, opening them, and reading frames.
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "engine/Movie.h"
#include "samples/SampleSet.h"

namespace vireo::test::engine {

std::string SamplePath(std::string const& fileName);

// `text` with everything but letters and digits replaced by '_', for test names.
std::string TestName(std::string text);

// Opens a sample; fails the test (and returns null) when it does not open.
std::unique_ptr<vireo::engine::Movie> OpenSample(std::string const& fileName);

// Names of the samples with video (but the large one for benchmarks) / with audio.
std::vector<std::string> VideoSampleNames();
std::vector<std::string> AudioSampleNames();

// The frame number the pattern shows at movie time `time`, read from a BGRA frame; -1 when the
// read fails or the pattern is not there.
int FrameNumberAt(vireo::engine::Movie& movie, std::int64_t time);

// Movie time of frame `index` of a sample (the frame's presentation time).
std::int64_t TimeOfFrame(vireo::samples::VideoTrack const& video,
                         vireo::engine::VideoInfo const& info, int index);

// Writes the playlist `name` into `dir`: `segments`, each shown for 1.6 seconds.
void WritePlaylist(std::string const& dir, std::string const& name,
                   std::vector<std::string> const& segments);
// Writes "fan.m3u8" into `dir`: a playlist of 450 variants (of one segment, a copy of
// "offset.ts"), each opened and probed in turn: many seconds of work for an open.
void WriteFanOut(std::string const& dir);

// A buffer for one frame with row bytes rounded up to 64.
struct FrameBuffer {
    FrameBuffer(std::uint32_t fourcc, int width, int height);
    std::size_t rowBytes;
    std::vector<std::uint8_t> bytes;
};

}  // namespace vireo::test::engine

namespace vireo::samples {
// Shows a sample by its file name in test output.
void PrintTo(SampleMovie const& written, std::ostream* out);
}  // namespace vireo::samples
