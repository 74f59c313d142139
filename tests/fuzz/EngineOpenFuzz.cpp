// The engine opening a movie file of any bytes, then reading from it what a client would: frames
// at a few times and sizes, audio blocks, a release of the video side and a frame after it.
// Beside the input lie a QuickTime movie and a transport stream that mutated reference movies
// and playlists may name ("h264_aac_tc.mov", "offset.ts"). Opening is cut after two seconds;
// an input whose opening runs well past that is a failure.
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/Errors.h"
#include "engine/Movie.h"
#include "engine/PixelFormats.h"
#include "samples/SampleSet.h"

namespace {

std::string gDirectory;  // made at start, removed at exit
std::string gInput;      // the file each input is written to

void RemoveDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(gDirectory, ignored);
}

void ReadFrame(vireo::engine::Movie& movie, std::int64_t time, std::uint32_t fourcc, int width,
               int height) {
    auto const& video = movie.Info().video;
    int const w = width != 0 ? width : video.width;
    int const h = height != 0 ? height : video.height;
    if (w < 1 || h < 1 || std::int64_t(w) * h > 4096 * 4096)
        return;
    std::size_t const rowBytes = vireo::engine::MinimumRowBytes(fourcc, w);
    std::vector<std::uint8_t> pixels(rowBytes * std::size_t(h));
    movie.ReadVideoFrame(time, fourcc, pixels.data(), rowBytes, width, height);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char const* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vireo-fuzz-engine-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    gDirectory = pattern;
    std::atexit(RemoveDirectory);
    std::string error;
    for (char const* name : {"h264_aac_tc.mov", "offset.ts"}) {
        if (!vireo::samples::WriteSample(vireo::samples::FindSample(name), pattern, error)) {
            std::fprintf(stderr, "cannot write %s: %s\n", name, error.c_str());
            std::abort();
        }
    }
    gInput = pattern + "/input.mov";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    FILE* file = std::fopen(gInput.c_str(), "wb");
    if (!file)
        std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size)
        std::abort();
    std::fclose(file);

    vireo::engine::OpenOptions options;
    options.decoderThreads = 1;
    options.openTimeLimitMs = 2000;
    std::int32_t error = 0;
    auto const start = std::chrono::steady_clock::now();
    std::unique_ptr<vireo::engine::Movie> movie =
        vireo::engine::Movie::Open(gInput, options, error);
    // Whatever the input, opening ends soon after its limit (the margin covers the sanitizers).
    if (std::chrono::steady_clock::now() - start >
        std::chrono::milliseconds(options.openTimeLimitMs) + std::chrono::seconds(5)) {
        std::fprintf(stderr, "opening ran past its limit (result %d)\n", int(error));
        std::abort();
    }
    if (!movie)
        return 0;
    auto const& info = movie->Info();
    if (info.video.present) {
        // Reading is not bounded by the open limit: a mutated playlist can make a long movie whose
        // last frame takes many seconds to reach. Such movies are read near their start only.
        std::int64_t const last = info.video.frameCount <= 300
                                      ? info.video.duration - 1
                                      : std::int64_t(info.video.sampleSize) * 10;
        ReadFrame(*movie, 0, vireo::engine::kFormatBGRA, 0, 0);
        ReadFrame(*movie, last, vireo::engine::kFormat2vuy, 33, 17);
        ReadFrame(*movie, last / 2, vireo::engine::kFormatB64a, 16, 16);
        movie->DecodeAhead(2);
        movie->ReleaseVideoResources();
        ReadFrame(*movie, last / 3, vireo::engine::kFormatBGRA, 64, 48);
    }
    if (info.audio.present && info.audio.channels > 0 && info.audio.channels <= 64) {
        std::vector<float> block(std::size_t(info.audio.channels) * 4096);
        for (int i = 0; i < 3; ++i) {
            if (movie->ReadAudio(block.data(), 4096) <= 0)
                break;
        }
        movie->RestartAudio();
        movie->ReadAudio(block.data(), 4096);
    }
    return 0;
}
