// Writes the whole sample set, with the damaged and non-media files for error handling.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "samples/SampleSet.h"

namespace vireo::samples {

namespace {

bool WriteText(std::filesystem::path const& path, std::string const& text, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        error = "cannot write " + path.string();
        return false;
    }
    return true;
}

bool WriteTruncated(std::filesystem::path const& from, std::filesystem::path const& to,
                    std::string& error) {
    std::ifstream in(from, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) {
        error = "cannot read " + from.string();
        return false;
    }
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size() * 2 / 5));
    if (!out) {
        error = "cannot write " + to.string();
        return false;
    }
    return true;
}

// Bytes that no format claims, from a fixed seed (xorshift), so every build writes the same.
bool WriteRandom(std::filesystem::path const& to, std::string& error) {
    std::string bytes(64 * 1024, '\0');
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = char(state >> 56);
    }
    return WriteText(to, bytes, error);
}

}  // namespace

bool WriteSampleSet(std::string const& directory, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec) {
        error = "cannot create " + directory + ": " + ec.message();
        return false;
    }
    for (auto const& movie : SampleMovies()) {
        if (!WriteSample(movie, directory, error))
            return false;
    }
    std::filesystem::path dir(directory);
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "This is a plain text line, not a movie.\n";
    std::string const movie = (dir / "h264_aac_tc.mov").string();
    return WriteTruncated(movie, dir / kTruncatedFile, error) &&
           WriteText(dir / kNotMediaFile, text, error) && WriteText(dir / kTextFile, text, error) &&
           WriteMovieHeaderFirst(movie, (dir / kCutDataFile).string(), 0.5, error) &&
           WriteRandom(dir / kRandomFile, error) &&
           WriteReferenceMovie(movie, "h264_aac_tc.mov", (dir / kReferenceFile).string(), error);
}

}  // namespace vireo::samples
