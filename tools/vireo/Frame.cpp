// vireo frame FILE [--frame N | --time SECONDS] [--format F] [--size WxH] --output out.png
#include <boost/program_options.hpp>
#include <cmath>
#include <iostream>

#include "Commands.h"
#include "Image.h"
#include "Kino/VideoFrame.h"
#include "Movie.h"

namespace po = boost::program_options;

namespace vireo::cli {

namespace {

// The library's code for a frame request that could not be sent, was answered with an error, or
// whose data could not be read.
constexpr long kFrameFailed = -1;

std::string DescribeFrameError(long code) {
    if (code == kFrameFailed) {
        return "the request failed (no server, an error answer, or data that could not be read)";
    }
    std::string const text = ServerCodeText(code);
    return text.empty() ? "the server could not deliver it" : text;
}

}  // namespace

int RunFrame(std::vector<std::string> const& args) {
    po::options_description options("vireo frame FILE [options]");
    options.add_options()("frame,n", po::value<long long>(), "frame number, from 0 (default 0)")(
        "time,t", po::value<double>(), "time in seconds (instead of --frame)")(
        "format,f", po::value<std::string>()->default_value("BGRA"),
        "pixel format: BGRA, 2vuy or b64a")("width", po::value<int>()->default_value(0),
                                            "output width (0: the movie's)")(
        "height", po::value<int>()->default_value(0), "output height (0: the movie's)")(
        "output,o", po::value<std::string>()->default_value("frame.png"), "PNG file to write");
    po::variables_map vm;
    if (int const done = ParseCommandLine(args, options, vm); done >= 0) {
        return done;
    }
    std::string const path = vm["file"].as<std::string>();
    if (!IsSeparateOutput(path, vm["output"].as<std::string>())) {
        return 2;
    }
    std::uint32_t const fourcc = FourCCFromText(vm["format"].as<std::string>());
    if (fourcc == 0) {
        std::cerr << "vireo: --format takes four characters, such as BGRA\n";
        return 2;
    }
    ImporterRef importer = OpenMovie(path);
    if (!importer) {
        return 1;
    }
    auto const& video = importer->GetVideoProperties();
    if (video.Width <= 0 || video.Scale <= 0) {
        std::cerr << "vireo: " << path << ": the movie has no video\n";
        return 1;
    }
    // The server takes the frame's time in the movie's video time scale. It is worked out in
    // floating point, so that no number given on the command line can overflow it, and checked
    // against the range the server serves (from 0 to before the duration), so that a time
    // outside it is named as such rather than as the server's refusal.
    double units = 0;
    if (vm.count("time")) {
        units = vm["time"].as<double>() * video.Scale;
    } else if (vm.count("frame")) {
        units = static_cast<double>(vm["frame"].as<long long>()) * video.SampleSize;
    }
    if (!(units >= 0 && units < static_cast<double>(video.Duration))) {  // NaN is outside too
        std::cerr << "vireo: " << path << ": the requested time is outside the movie, which lasts "
                  << static_cast<double>(video.Duration) / video.Scale << " s";
        if (video.SampleSize > 0 && video.Duration / video.SampleSize > 0) {
            std::cerr << " (frames 0 to " << video.Duration / video.SampleSize - 1 << ")";
        }
        std::cerr << "\n";
        return 1;
    }
    // Rounded down: a time within the last unit still names the last frame.
    auto const time = static_cast<std::int32_t>(std::floor(units));

    InterfaceRef<Kino::IVideoFrame> frame;
    long const result =
        importer->GetMovieVideo(time, VireoServer::PixelFormat(fourcc, 0), vm["width"].as<int>(),
                                vm["height"].as<int>(), frame);
    if (result != 0 || !frame) {
        std::cerr << "vireo: " << path
                  << ": the frame could not be read: " << DescribeFrameError(result) << " (error "
                  << result << ")\n";
        return 1;
    }
    FrameView view;
    view.fourcc = frame->GetPixelFormat();
    view.width = static_cast<int>(frame->GetWidth());
    view.height = static_cast<int>(frame->GetHeight());
    view.rowBytes = frame->GetRowBytes();
    view.pixels = static_cast<const std::uint8_t*>(frame->GetPixels());
    std::string error;
    std::string const output = vm["output"].as<std::string>();
    if (!WritePNG(view, output, error)) {
        std::cerr << "vireo: " << output << ": " << error << "\n";
        return 1;
    }
    std::cout << "wrote " << view.width << "x" << view.height << " " << FourCCText(view.fourcc)
              << " frame at time " << time << "/" << video.Scale << " to " << output << "\n";
    return 0;
}

}  // namespace vireo::cli
