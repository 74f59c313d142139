// vireo audio FILE --output out.wav: all of the movie's audio, as 32-bit float WAV.
#include <sndfile.h>

#include <algorithm>
#include <boost/program_options.hpp>
#include <iostream>

#include "Commands.h"
#include "Movie.h"

namespace po = boost::program_options;

namespace vireo::cli {

namespace {
constexpr int kMaxReopens = 3;
}  // namespace

int RunAudio(std::vector<std::string> const& args) {
    po::options_description options("vireo audio FILE [options]");
    options.add_options()("output,o", po::value<std::string>()->default_value("audio.wav"),
                          "WAV file to write");
    po::variables_map vm;
    if (int const done = ParseCommandLine(args, options, vm); done >= 0) {
        return done;
    }
    std::string const path = vm["file"].as<std::string>();
    if (!IsSeparateOutput(path, vm["output"].as<std::string>())) {
        return 2;
    }
    RestartServerOnDemand();
    ImporterRef importer = OpenMovie(path);
    if (!importer) {
        return 1;
    }
    // A copy: the importer is replaced when the movie is opened again below.
    auto const audio = importer->GetAudioProperties();
    if (audio.ChannelCount <= 0 || audio.SampleRate <= 0) {
        std::cerr << "vireo: " << path << ": the movie has no audio\n";
        return 1;
    }

    SF_INFO info{};
    info.samplerate = static_cast<int>(audio.SampleRate + 0.5);
    info.channels = audio.ChannelCount;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    std::string const output = vm["output"].as<std::string>();
    SNDFILE* file = sf_open(output.c_str(), SFM_WRITE, &info);
    if (!file) {
        std::cerr << "vireo: " << output << ": " << sf_strerror(nullptr) << "\n";
        return 1;
    }

    Progress progress("audio", audio.Duration);
    long long frames = 0;
    importer->RestartMovieAudio();
    std::vector<float> block;
    // A block that comes back empty well before the movie's duration (more than the half second a
    // block holds at most) is a failed read: the server may have died. Open the movie again (the
    // library starts a new server on demand), read up to where we were and go on; a few times at
    // most, and never again after a reopen that brought nothing new.
    long long const shortBy = static_cast<long long>(audio.SampleRate / 2) + 1;
    int reopens = 0;
    long long skip = 0;
    long long framesAtReopen = -1;
    for (;;) {
        // The importer leaves the vector untouched at the end and on failure, so it is cleared
        // before each read.
        block.clear();
        importer->GetMovieAudio(block);
        if (block.empty()) {
            if (frames + shortBy >= audio.Duration || reopens == kMaxReopens ||
                frames == framesAtReopen) {
                break;
            }
            ++reopens;
            framesAtReopen = frames;
            std::cerr << "\nvireo: " << path << ": reading the audio stopped early; opening the "
                      << "movie again\n";
            importer = OpenMovie(path);
            if (!importer) {
                break;
            }
            importer->RestartMovieAudio();
            skip = frames;
            continue;
        }
        sf_count_t count = static_cast<sf_count_t>(block.size() / audio.ChannelCount);
        float const* data = block.data();
        if (skip > 0) {
            sf_count_t const skipped = std::min<sf_count_t>(count, skip);
            skip -= skipped;
            count -= skipped;
            data += skipped * audio.ChannelCount;
        }
        if (sf_writef_float(file, data, count) != count) {
            std::cerr << "\nvireo: " << output << ": cannot be written: " << sf_strerror(file)
                      << "\n";
            sf_close(file);
            return 1;
        }
        frames += count;
        progress.Update(frames);
    }
    progress.Finish();
    if (sf_close(file) != 0) {
        std::cerr << "vireo: " << output << ": cannot be written\n";
        return 1;
    }
    if (frames + shortBy < audio.Duration) {
        // What was read is kept, but the command did not do what it was asked.
        std::cerr << "vireo: " << path << ": the audio ended early: " << frames << " of "
                  << audio.Duration << " sample frames written to " << output << "\n";
        return 1;
    }
    std::cout << "wrote " << frames << " sample frames (" << audio.ChannelCount << " channels) to "
              << output << "\n";
    return 0;
}

}  // namespace vireo::cli
