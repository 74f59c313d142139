#pragma once
// The sample movies: what each one holds, and writing them with FFmpeg's encoders and muxers.
// Writing is deterministic (bit-exact encoders, one thread, fixed metadata), so the same build
// writes the same bytes every time.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vireo::samples {

enum class VideoCodec { H264, ProRes422, MJPEG, PNG, MPEG4 };
enum class AudioCodec { AAC, PCM16, PCM24 };

struct VideoTrack {
    VideoCodec codec = VideoCodec::H264;
    int width = 0, height = 0;
    int rateNumerator = 25, rateDenominator = 1;  // frames per second as a ratio
    int frames = 0;
    int gop = 12;     // key frame interval
    int bFrames = 0;  // H.264 only
    int sarNumerator = 1, sarDenominator = 1;
    bool interlacedTopFirst = false;
    bool variableRate = false;  // frame i is shown at (i + i / 2) frame periods
    bool fast = false;          // fastest encoder settings (large pictures)
};

struct AudioTrack {
    AudioCodec codec = AudioCodec::PCM16;
    int sampleRate = 48000;
    int channels = 2;
    std::int64_t samples = 0;  // sample frames written
};

struct SampleMovie {
    std::string fileName;
    std::string container;  // FFmpeg muxer name
    std::optional<VideoTrack> video;
    std::optional<AudioTrack> audio;
    std::string timecode;             // start timecode, empty for none
    std::string reel;                 // reel name of the timecode track
    std::string creationTime;         // ISO 8601, UTC; empty for none
    std::string expectedCodecFourCC;  // what the engine should report
    std::string expectedAudioFormat;
};

// Every movie of the set, in the order they are written.
std::vector<SampleMovie> const& SampleMovies();
SampleMovie const& FindSample(std::string const& fileName);

// Presentation time of frame `index` in frame periods (index itself for constant rates).
std::int64_t FramePeriods(VideoTrack const& video, int index);

// Files written besides the movies, for error handling.
constexpr const char* kTruncatedFile = "truncated.mov";  // the first 40% of h264_aac_tc.mov
constexpr const char* kNotMediaFile = "not_media.bin";   // text
constexpr const char* kTextFile = "notes.txt";           // text with an extension FFmpeg knows

// Writes one movie into `directory` (which must exist). Returns true, or false with `error` set.
bool WriteSample(SampleMovie const& written, std::string const& directory, std::string& error);
// Creates `directory` if needed and writes the whole set there.
bool WriteSampleSet(std::string const& directory, std::string& error);

}  // namespace vireo::samples
