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
// h264_aac_tc.mov with its movie header first, cut after half its length: the header is whole,
// the media data ends early (video frames 0 to 22 are there).
constexpr const char* kCutDataFile = "cut_data.mov";
constexpr int kCutDataFrames = 23;
constexpr const char* kRandomFile = "random.mov";  // 64 KiB of random bytes named like a movie
// A QuickTime reference movie: the movie header of h264_aac_tc.mov, whose tracks find their
// media in "h264_aac_tc.mov" in the reference movie's own folder.
constexpr const char* kReferenceFile = "reference.mov";

// Writes the QuickTime file `from` with its movie header moved before the media data, keeping
// the first `keep` (0 to 1) of the result.
bool WriteMovieHeaderFirst(std::string const& from, std::string const& to, double keep,
                           std::string& error);
// Writes at `to` a reference movie: the movie header of the QuickTime file `from`, each track
// referring for its media to the file `referencedName` in the folder of `to` (a Macintosh alias
// record, as QuickTime writes them). The chunk offsets stay those of `from`.
bool WriteReferenceMovie(std::string const& from, std::string const& referencedName,
                         std::string const& to, std::string& error);

// Writes one movie into `directory` (which must exist). Returns true, or false with `error` set.
bool WriteSample(SampleMovie const& written, std::string const& directory, std::string& error);
// Creates `directory` if needed and writes the whole set there.
bool WriteSampleSet(std::string const& directory, std::string& error);

}  // namespace vireo::samples
