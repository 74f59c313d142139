// Writes the whole sample set, with the damaged and non-media files for error handling.
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
    return WriteTruncated(dir / "h264_aac_tc.mov", dir / kTruncatedFile, error) &&
           WriteText(dir / kNotMediaFile, text, error) && WriteText(dir / kTextFile, text, error);
}

}  // namespace vireo::samples
