// vireo play FILE [--vout N] [--mode M]: plays a movie on a video output at its frame rate. Every
// frame is read through the importer (BGRA, the movie's size) and blitted; a frame whose time has
// passed by the time it is ready is dropped, not shown late, so the picture keeps to the clock.
#include <boost/program_options.hpp>
#include <chrono>
#include <iostream>
#include <thread>

#include "Commands.h"
#include "Kino/VideoFrame.h"
#include "Movie.h"
#include "VireoClient/VireoClient.h"
#include "VoutOutputs.h"
#include "basekit/utility/Text.h"

namespace po = boost::program_options;

namespace vireo::cli {

namespace {

constexpr std::uint32_t kCaptureSubType = 0x63617074u;  // 'capt'

std::string OutcomeText(VireoServer::QTVOutOperationResult const& r) {
    std::string text = "outcome " + std::to_string(r.mOperationResult);
    if (r.mQTResultCode != 0) {
        text += ", result " + std::to_string(r.mQTResultCode);
    }
    if (!r.mApplicationUsingComponentName.empty()) {
        text +=
            ", used by \"" + basekit::utility::UTF16to8(r.mApplicationUsingComponentName) + "\"";
    }
    return text;
}

}  // namespace

int RunPlay(std::vector<std::string> const& args) {
    po::options_description options("vireo play FILE [options]");
    options.add_options()("vout", po::value<int>(),
                          "the output's number in 'vireo vout' (default: the first display)")(
        "mode", po::value<int>()->default_value(0), "the mode's number in 'vireo vout'");
    po::variables_map vm;
    if (int const done = ParseCommandLine(args, options, vm); done >= 0) {
        return done;
    }
    std::string const path = vm["file"].as<std::string>();
    ClientRef client = VireoClient::Create();
    if (!client || !client->IsQuicktimeAvailable()) {
        std::cerr << "vireo: the media server cannot be reached\n";
        return 1;
    }
    std::vector<VireoServer::QTVOutComponent> const components = ListOutputs(client);
    int index = -1;
    if (vm.count("vout")) {
        index = vm["vout"].as<int>();
        if (index < 0 || index >= static_cast<int>(components.size())) {
            std::cerr << "vireo: there is no video output " << index << " (see 'vireo vout')\n";
            return 2;
        }
    } else {
        for (std::size_t i = 0; i < components.size() && index < 0; ++i) {
            if (components[i].mQTComponentDescription.mQTComponentDesc_componentSubType !=
                kCaptureSubType) {
                index = static_cast<int>(i);
            }
        }
        if (index < 0) {
            std::cerr << "vireo: no display output; choose an output with --vout (see 'vireo "
                         "vout')\n";
            return 1;
        }
    }
    auto const& component = components[static_cast<std::size_t>(index)];
    int const mode = vm["mode"].as<int>();
    if (mode < 0 || mode >= static_cast<int>(component.mDisplayModes.size())) {
        std::cerr << "vireo: output " << index << " has no mode " << mode << "\n";
        return 2;
    }

    ImporterRef importer = OpenMovie(path);
    if (!importer) {
        return 1;
    }
    auto const& video = importer->GetVideoProperties();
    if (video.Width <= 0 || video.Scale <= 0 || video.SampleSize <= 0) {
        std::cerr << "vireo: " << path << ": the movie has no video\n";
        return 1;
    }
    long long const frameCount = video.Duration / video.SampleSize;
    auto const interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(static_cast<double>(video.SampleSize) / video.Scale));

    VireoServer::QTVOutUseComponentData use;
    use.mQTComponentDescription = component.mQTComponentDescription;
    use.mQTAtomIDForDisplayMode = component.mDisplayModes[mode].mQTAtomIDForMode;
    use.mDisplayModeID = component.mDisplayModes[mode].mDisplayModeID;
    use.mApplicationName = u"vireo play";
    client->QTVOutBeginUsingComponent(use);
    if (use.mVOutOperationResult.mOperationResult != VireoServer::kVOutOperationSucceeded) {
        std::cerr << "vireo: " << component.mVOutComponentName
                  << " cannot be used: " << OutcomeText(use.mVOutOperationResult) << "\n";
        return 1;
    }
    std::cout << "playing " << frameCount << " frames on " << component.mVOutComponentName << ", "
              << component.mDisplayModes[mode].mDisplayModeName << "\n";

    long long shown = 0;
    long long dropped = 0;
    long long failed = 0;
    bool begun = false;
    VireoServer::QTVOutOperationResult result;
    auto const start = std::chrono::steady_clock::now();
    for (long long i = 0; i < frameCount; ++i) {
        auto const due = start + i * interval;
        // Late by a whole frame already: showing it would only delay the next one.
        if (std::chrono::steady_clock::now() > due + interval) {
            ++dropped;
            continue;
        }
        InterfaceRef<Kino::IVideoFrame> frame;
        long const read = importer->GetMovieVideo(
            static_cast<std::int32_t>(i * video.SampleSize),
            VireoServer::PixelFormat(Kino::kPixelFormat_BGRA, 0), 0, 0, frame);
        if (read != 0 || !frame) {
            ++failed;
            continue;
        }
        if (std::chrono::steady_clock::now() > due + interval) {
            ++dropped;
            continue;
        }
        std::this_thread::sleep_until(due);
        if (begun) {
            client->QTVOutBlitFrame(frame, result);
        } else {
            client->QTVOutBeginBlitting(frame, result);
        }
        if (result.mOperationResult == VireoServer::kVOutOperationSucceeded) {
            begun = true;
            ++shown;
        } else {
            ++failed;
            std::cerr << "vireo: frame " << i << " was not shown: " << OutcomeText(result) << "\n";
        }
    }
    if (begun) {
        client->QTVOutEndBlitting(result);
    }
    client->QTVOutEndUsingComponent(result);
    std::cout << "shown " << shown << ", dropped " << dropped << ", failed " << failed << " of "
              << frameCount << " frames\n";
    return failed == 0 ? 0 : 1;
}

}  // namespace vireo::cli
