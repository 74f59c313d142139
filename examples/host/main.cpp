// vireo_host_example MOVIE OUTPUT.ppm [FRAME]: opens a movie through VireoClient, reads one
// frame as 8-bit BGRA and writes it as a binary PPM image.
#include <climits>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>

#include "Kino/VideoFrame.h"
#include "VireoClient/VireoClient.h"
#include "basekit/utility/Parse.h"
#include "basekit/utility/Text.h"

namespace vireo::samples {
namespace {

constexpr std::uint32_t kBGRA = 0x42475241;  // 'BGRA'

bool WritePPM(Kino::IVideoFrame& frame, std::string const& path) {
    int const width = static_cast<int>(frame.GetWidth());
    int const height = static_cast<int>(frame.GetHeight());
    auto const* pixels = static_cast<std::uint8_t const*>(frame.GetPixels());
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << width << " " << height << "\n255\n";
    for (int y = 0; y < height; ++y) {
        std::uint8_t const* row = pixels + static_cast<std::ptrdiff_t>(y) * frame.GetRowBytes();
        for (int x = 0; x < width; ++x) {
            std::uint8_t const* bgra = row + 4 * x;
            char const rgb[3] = {static_cast<char>(bgra[2]), static_cast<char>(bgra[1]),
                                 static_cast<char>(bgra[0])};
            out.write(rgb, 3);
        }
    }
    out.close();
    return static_cast<bool>(out);
}

int Run(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: vireo_host_example MOVIE OUTPUT.ppm [FRAME]\n";
        return 2;
    }
    std::string const movie = argv[1];
    std::string const output = argv[2];
    std::int32_t frameNumber = 0;
    if (argc > 3 && (!basekit::utility::ParseInteger(argv[3], frameNumber) || frameNumber < 0)) {
        std::cerr << "FRAME is a frame number from 0\n";
        return 2;
    }

    // Starts the server installed with the library (or connects to the running one).
    InterfaceRef<VireoClient::IVireoImporter, VireoClient::IVireoImporter> importer;
    long const opened =
        VireoClient::ImportFile(basekit::utility::UTF8to16(movie), false, false, false, importer);
    if (opened != 0 || !importer) {
        std::cerr << movie << ": cannot be opened (error " << opened << ")\n";
        return 1;
    }
    VireoServer::VideoProperties const& video = importer->GetVideoProperties();
    if (video.Width <= 0 || video.Scale <= 0) {
        std::cerr << movie << ": the movie has no video\n";
        return 1;
    }
    // Times are in the movie's video time scale; one frame lasts SampleSize units.
    // Both factors are 32-bit, so the product fits in 64 bits.
    std::int64_t const time = std::int64_t{frameNumber} * video.SampleSize;
    if (time < 0 || time > INT32_MAX) {
        std::cerr << movie << ": frame " << frameNumber << " is outside the movie\n";
        return 1;
    }
    InterfaceRef<Kino::IVideoFrame> frame;
    long const read = importer->GetMovieVideo(static_cast<std::int32_t>(time),
                                              VireoServer::PixelFormat(kBGRA, 0), 0, 0, frame);
    if (read != 0 || !frame) {
        std::cerr << movie << ": frame " << frameNumber << " could not be read (error " << read
                  << ")\n";
        return 1;
    }
    if (!WritePPM(*frame, output)) {
        std::cerr << output << ": cannot be written\n";
        return 1;
    }
    std::cout << "wrote " << frame->GetWidth() << "x" << frame->GetHeight() << " frame "
              << frameNumber << " of " << movie << " to " << output << "\n";
    return 0;
}

}  // namespace
}  // namespace vireo::samples

int main(int argc, char** argv) {
    return vireo::samples::Run(argc, argv);
}
