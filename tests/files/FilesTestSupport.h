#pragma once
// Helpers of the file services tests: a private folder, sample movies written into it, file
// checksums, and a movie's frames and audio as the media engine decodes them.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/MovieInfo.h"
#include "samples/SampleSet.h"

namespace vireo::test::files {

// A new folder under the system's temporary folder, removed with its contents at the end.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(TempFolder const&) = delete;
    TempFolder& operator=(TempFolder const&) = delete;

    std::string const& Path() const { return mPath; }
    std::string File(std::string const& name) const { return mPath + "/" + name; }
    // Names of everything in the folder (hidden files included), sorted.
    std::vector<std::string> Entries() const;

  private:
    std::string mPath;
};

// A QuickTime movie of `frames` frames at `rateNumerator / rateDenominator` fps: H.264 160x120,
// GOP 12 with B-frames, 16-bit PCM stereo at 48 kHz covering the video; `timecode` (may be
// empty) with reel "REEL7".
samples::SampleMovie TestMovie(std::string const& fileName, int rateNumerator, int rateDenominator,
                               int frames, std::string const& timecode);

// Writes `movie` into `folder` and returns its path; fails the test when it cannot.
std::string WriteMovie(samples::SampleMovie const& movie, std::string const& folder);

// FNV-1a of the file's bytes; 0 when it cannot be read.
std::uint64_t FileChecksum(std::string const& path);

// A movie as the engine reads it: every frame as BGRA at its own size, every audio sample.
struct DecodedMovie {
    std::int32_t error = -1;  // of opening
    engine::MovieInfo info;
    std::vector<std::vector<std::uint8_t>> frames;
    std::vector<float> audio;  // interleaved
};
DecodedMovie Decode(std::string const& path);

// The 60-frame test movie of a suite (25 fps, key frames every 12 frames, 1920 stereo samples a
// frame), written once, with its decoded frames and audio and its checksum.
constexpr int kSourceFrames = 60;
constexpr int kSourceSamplesPerFrame = 1920;
struct SourceMovie {
    explicit SourceMovie(std::string const& timecode);
    TempFolder folder;
    std::string path;
    DecodedMovie decoded;
    std::uint64_t checksum = 0;
};
// Expects the movie at `path` to show frames [first, first + count) of `source` at 25 fps and
// to play their audio, exactly.
void ExpectRange(SourceMovie const& source, std::string const& path, int first, int count);

// Timed text samples of a movie's first subtitle track, and its chapters, read with FFmpeg.
struct TimedText {
    double start = 0;  // seconds
    double end = 0;
    std::string text;
};
std::vector<TimedText> ReadSubtitles(std::string const& path);
std::vector<TimedText> ReadChapters(std::string const& path);
// The container's metadata entry `key` ("" when absent).
std::string ReadMetadata(std::string const& path, std::string const& key);

}  // namespace vireo::test::files
