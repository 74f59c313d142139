// vireo trim IN OUT --in T --duration D: the range [T, T + D) of IN written into OUT without
// re-encoding. Times are seconds ("12.5") or frame counts ("48f").
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/program_options.hpp>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>

#include "Commands.h"
#include "Movie.h"
#include "VireoClient/VireoClient.h"
#include "basekit/utility/Parse.h"
#include "basekit/utility/Text.h"

namespace po = boost::program_options;

namespace vireo::cli {

namespace {

// A time given on the command line: whole frames, or seconds.
struct TimeArgument {
    bool frames = false;
    std::int64_t frameCount = 0;
    double seconds = 0;
};

bool ParseTime(std::string const& text, TimeArgument& out) {
    if (!text.empty() && (text.back() == 'f' || text.back() == 'F')) {
        out.frames = true;
        return basekit::utility::ParseInteger(std::string_view(text).substr(0, text.size() - 1),
                                              out.frameCount) &&
               out.frameCount >= 0;
    }
    char* end = nullptr;
    out.seconds = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() && std::isfinite(out.seconds) &&
           out.seconds >= 0;
}

// `time` in units of `scale` (`frame` units a frame); false when it does not fit 32 bits.
bool ToUnits(TimeArgument const& time, std::int32_t scale, std::int32_t frame, std::int32_t& out) {
    // Checked in floating point before it becomes an integer: seconds typed as 1e300 must not
    // reach a conversion that cannot hold them.
    double const units =
        time.frames ? double(time.frameCount) * frame : time.seconds * double(scale);
    if (!(units <= 2147483647.0)) {
        return false;
    }
    out = std::int32_t(std::llround(units));
    return true;
}

std::string DescribeTrimError(long code) {
    // The server's and the library's codes of a trim (docs/file-services.md).
    switch (code) {
        case 5:
            return "the trim request failed (the server ended or refused it)";
        case 13:
            return "the server could not be reached";
        case -2101:
            return "no such file";
        case -2102:
            return "the source is a directory";
        case -2103:
            return "the source cannot be read";
        case -2104:
            return "the source is not a movie or sound file";
        case -2105:
            return "the source has no video or audio";
        case -2106:
            return "the source is damaged";
        case -2107:
            return "not a valid path";
        case -2160:
            return "the time scale is not positive";
        case -2161:
            return "the duration holds no whole frame";
        case -2162:
            return "the frame length is negative";
        case -2163:
            return "the range lies outside the movie";
        case -2164:
            return "the destination is the source";
        case -2165:
            return "the destination cannot be written";
        case -2166:
            return "writing the new movie failed";
        case -2167:
            return "a track of this movie cannot be copied into a QuickTime movie";
        case -2168:
            return "the trim was cancelled";
        case -2169:
            return "reading the source failed midway";
        default:
            break;
    }
    char text[64];
    std::snprintf(text, sizeof text, "error %ld", code);
    return text;
}

// The size of the file the server is writing: it writes ".<name>.trim-<random>" in the
// destination's folder and renames it into place when complete. 0 when there is none (yet).
long long PartialSize(std::string const& destination) {
    auto const slash = destination.rfind('/');
    std::string const folder = slash == std::string::npos ? "." : destination.substr(0, slash);
    std::string const prefix =
        "." + (slash == std::string::npos ? destination : destination.substr(slash + 1)) + ".trim-";
    long long size = 0;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            if (std::string(entry->d_name).rfind(prefix, 0) == 0) {
                struct stat info {};
                if (::stat((folder + "/" + entry->d_name).c_str(), &info) == 0) {
                    size = std::max<long long>(size, info.st_size);
                }
            }
        }
        ::closedir(dir);
    }
    return size;
}

}  // namespace

int RunTrim(std::vector<std::string> const& args) {
    po::options_description options("vireo trim IN OUT --in T --duration D");
    options.add_options()("help,h", "show this help")(
        "file", po::value<std::string>(), "movie to trim")("output", po::value<std::string>(),
                                                           "movie to write")(
        "in", po::value<std::string>()->default_value("0"),
        "start: seconds (12.5) or frames (300f)")("duration", po::value<std::string>(),
                                                  "length: seconds or frames (48f)");
    po::positional_options_description positional;
    positional.add("file", 1).add("output", 1);
    po::variables_map vm;
    po::store(po::command_line_parser(args).options(options).positional(positional).run(), vm);
    po::notify(vm);
    if (vm.count("help") || !vm.count("file") || !vm.count("output") || !vm.count("duration")) {
        std::cout << options;
        return vm.count("help") ? 0 : 2;
    }
    std::string const source = vm["file"].as<std::string>();
    std::string const destination = vm["output"].as<std::string>();
    if (!IsPathText(source) || !IsPathText(destination)) {
        return 1;
    }
    TimeArgument start;
    TimeArgument length;
    if (!ParseTime(vm["in"].as<std::string>(), start) ||
        !ParseTime(vm["duration"].as<std::string>(), length)) {
        std::cerr << "vireo: times are seconds (12.5) or frame counts (48f)\n";
        return 2;
    }

    // The movie's own time scale and frame length, so that frame counts are exact and seconds
    // are rounded to whole frames by the server.
    VireoServer::TrimMovieParams params;
    long long estimate = 0;
    {
        ImporterRef importer = OpenMovie(source);
        if (!importer) {
            return 1;
        }
        auto const& video = importer->GetVideoProperties();
        auto const& audio = importer->GetAudioProperties();
        if (video.Scale > 0 && video.SampleSize > 0) {
            params.Scale = video.Scale;
            params.SampleSize = video.SampleSize;
        } else if (start.frames || length.frames) {
            std::cerr << "vireo: " << source << ": no video, so no frames to count\n";
            return 2;
        } else {
            params.Scale = 1000;
        }
        if (!ToUnits(start, params.Scale, params.SampleSize, params.TrimIn) ||
            !ToUnits(length, params.Scale, params.SampleSize, params.Duration)) {
            std::cerr << "vireo: the range is too long for this movie's time scale\n";
            return 2;
        }
        // What the new movie will roughly weigh: the source's bytes in proportion to the range.
        double movieSeconds = video.Scale > 0 ? double(video.Duration) / video.Scale : 0;
        if (movieSeconds <= 0 && audio.SampleRate > 0) {
            movieSeconds = double(audio.Duration) / audio.SampleRate;
        }
        struct stat info {};
        if (movieSeconds > 0 && ::stat(source.c_str(), &info) == 0) {
            estimate = static_cast<long long>(
                double(info.st_size) * (double(params.Duration) / params.Scale) / movieSeconds);
        }
    }
    params.Source = basekit::utility::UTF8to16(source);
    params.Destination = basekit::utility::UTF8to16(destination);

    InterfaceRef<VireoClient::IVireoClient, VireoClient::IVireoClient> client =
        VireoClient::Create();
    struct Outcome {
        std::mutex mutex;
        std::condition_variable done;
        bool answered = false;
        long code = 0;
    };
    auto outcome = std::make_shared<Outcome>();
    // Runs on an RPC thread of the library.
    auto onDone = [outcome](long code) {
        std::lock_guard<std::mutex> lock(outcome->mutex);
        outcome->code = code;
        outcome->answered = true;
        outcome->done.notify_all();
    };
    if (!client || !client->TrimMovie(params, onDone)) {
        std::cerr << "vireo: " << source << ": " << DescribeTrimError(13) << "\n";
        return 1;
    }
    // Progress: the size of the file being written against the estimate, shown up to 99 %
    // until the server answers.
    Progress progress("trimming", 100);
    long code = 0;
    {
        std::unique_lock<std::mutex> lock(outcome->mutex);
        while (!outcome->done.wait_for(lock, std::chrono::milliseconds(200),
                                       [&] { return outcome->answered; })) {
            if (estimate > 0) {
                progress.Update(std::min<long long>(99, PartialSize(destination) * 100 / estimate));
            }
        }
        code = outcome->code;
    }
    if (code != 0) {
        std::cerr << (isatty(STDERR_FILENO) ? "\n" : "") << "vireo: " << source << ": "
                  << DescribeTrimError(code) << "\n";
        return 1;
    }
    progress.Finish();
    std::cout << destination << ": written, range " << params.TrimIn << " to "
              << (params.TrimIn + params.Duration) << " in units of 1/" << params.Scale << " s\n";
    return 0;
}

}  // namespace vireo::cli
