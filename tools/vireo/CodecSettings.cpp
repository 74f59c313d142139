// vireo codec-settings CODEC [--from FILE] -o FILE: shows the codec's settings dialog through the
// library and saves the accepted private data (the bytes `vireo export --codec-settings FILE`
// reads).
#include <boost/program_options.hpp>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iostream>

#include "Commands.h"
#include "Movie.h"
#include "VireoClient/VireoClient.h"

namespace po = boost::program_options;

namespace vireo::cli {

namespace {

bool HasDisplay() {
    for (char const* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        char const* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

}  // namespace

int RunCodecSettings(std::vector<std::string> const& args) {
    po::options_description options("vireo codec-settings CODEC [--from FILE] -o FILE");
    options.add_options()("help,h", "show this help")(
        "codec", po::value<std::string>(), "the codec's four characters (avc1, apch, png, ...)")(
        "from", po::value<std::string>(), "start from the settings saved in this file")(
        "output,o", po::value<std::string>(), "write the accepted settings to this file");
    po::positional_options_description positional;
    positional.add("codec", 1);
    po::variables_map vm;
    po::store(po::command_line_parser(args).options(options).positional(positional).run(), vm);
    po::notify(vm);
    if (vm.count("help")) {
        std::cout << options;
        return 0;
    }
    if (!vm.count("codec") || !vm.count("output")) {
        std::cout << options;
        return 2;
    }
    // Codes of fewer than four characters end in spaces ("png" is 'png ').
    std::string codecText = vm["codec"].as<std::string>();
    if (!codecText.empty() && codecText.size() < 4) {
        codecText.resize(4, ' ');
    }
    std::uint32_t const codec = FourCCFromText(codecText);
    if (codec == 0) {
        std::cerr << "vireo: '" << vm["codec"].as<std::string>()
                  << "' is not a codec's four characters\n";
        return 2;
    }
    VireoServer::VireoVideoCodecDialogData request;
    request.mVideoCodecFourCC = static_cast<std::int32_t>(codec);
    if (vm.count("from") &&
        !ReadCodecSettingsFile(vm["from"].as<std::string>(), request.mVideoCodecPrivateData)) {
        return 1;
    }
    std::string const output = vm["output"].as<std::string>();

    auto client = VireoClient::Create();
    // Without a server the request would not be sent and nothing would answer it.
    if (!client || !client->IsQuicktimeAvailable()) {
        std::cerr << "vireo: the server could not be reached\n";
        return 1;
    }
    // The callback runs once on an RPC thread: with the answer, or with a cancelled record when
    // the request failed (the server died, for example).
    std::promise<VireoServer::VireoVideoCodecDialogData> closed;
    auto answer = closed.get_future();
    client->DisplayVideoCodecPrefsDialog(
        request, [&closed](VireoServer::VireoVideoCodecDialogData const& outcome) {
            closed.set_value(outcome);
        });
    VireoServer::VireoVideoCodecDialogData const outcome = answer.get();
    if (outcome.mWasCancelled) {
        std::cerr << "vireo: cancelled, nothing written";
        if (!HasDisplay()) {
            std::cerr << " (no display: neither DISPLAY nor WAYLAND_DISPLAY is set)";
        }
        std::cerr << "\n";
        return 1;
    }
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    auto const& bytes = outcome.mVideoCodecPrivateData;
    out.write(reinterpret_cast<char const*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::cerr << "vireo: " << output << ": cannot be written\n";
        return 1;
    }
    std::cout << "saved " << bytes.size() << " bytes of '" << FourCCText(codec) << "' settings to "
              << output << "\n";
    return 0;
}

}  // namespace vireo::cli
