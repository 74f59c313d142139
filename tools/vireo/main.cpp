// vireo: a command-line host of the VireoClient library.
#include <boost/program_options/errors.hpp>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "Commands.h"
#include "basekit/debug/Failure.h"

namespace {

void PrintUsage() {
    std::cout << "usage: vireo <command> FILE [options]\n\n"
                 "commands:\n"
                 "  info FILE [--json]                      the movie's video, audio and timecode\n"
                 "  frame FILE [--frame N | --time T] ...   one frame, written as PNG\n"
                 "  audio FILE [--output out.wav]           all audio, written as WAV\n"
                 "  codecs [--json]                         the engine's codec catalogues\n"
                 "  export IN -o OUT.mov --codec NAME ...   writes a movie through the export\n"
                 "  codec-settings CODEC [--from FILE] -o FILE\n"
                 "                                          a codec's settings dialog; saves its\n"
                 "                                          settings\n"
                 "  trim IN OUT --in T --duration D         a range copied into a new movie\n"
                 "  refs FILE                               the files a movie refers to\n"
                 "  types                                   the file types the server imports\n"
                 "  vout [--json]                           the video outputs and their modes\n"
                 "  console COMMAND                         runs a debug console command\n"
                 "  play FILE [--vout N] [--mode M]         plays the movie on a video output\n\n"
                 "Run 'vireo <command> --help' for the options of a command.\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage();
        return 2;
    }
    std::string const command = argv[1];
    std::vector<std::string> const args(argv + 2, argv + argc);
    try {
        if (command == "info") {
            return vireo::cli::RunInfo(args);
        }
        if (command == "frame") {
            return vireo::cli::RunFrame(args);
        }
        if (command == "audio") {
            return vireo::cli::RunAudio(args);
        }
        if (command == "codecs") {
            return vireo::cli::RunCodecs(args);
        }
        if (command == "export") {
            return vireo::cli::RunExport(args);
        }
        if (command == "codec-settings") {
            return vireo::cli::RunCodecSettings(args);
        }
        if (command == "trim") {
            return vireo::cli::RunTrim(args);
        }
        if (command == "refs") {
            return vireo::cli::RunRefs(args);
        }
        if (command == "types") {
            return vireo::cli::RunTypes(args);
        }
        if (command == "vout") {
            return vireo::cli::RunVout(args);
        }
        if (command == "console") {
            return vireo::cli::RunConsole(args);
        }
        if (command == "play") {
            return vireo::cli::RunPlay(args);
        }
        if (command == "--help" || command == "-h" || command == "help") {
            PrintUsage();
            return 0;
        }
        std::cerr << "vireo: unknown command '" << command << "'\n";
        PrintUsage();
        return 2;
    } catch (boost::program_options::error const& e) {
        std::cerr << "vireo: " << e.what() << "\n";
        return 2;
    } catch (...) {
        std::cerr << "vireo: " << basekit::debug::CurrentExceptionText() << "\n";
        return 1;
    }
}
