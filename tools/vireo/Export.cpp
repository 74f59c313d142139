// vireo export IN -o OUT.mov --codec NAME [--audio NAME] [--quality Q] [--bitrate B]
//                            [--codec-settings FILE]
// Reads IN through the importer and writes OUT through the library's export operations, as a
// host does: each frame is shared under a fresh identifier and submitted, a few at a time; the
// audio follows in the blocks the importer gives. Ctrl-C cancels: the export is given up and no
// file is left at OUT.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <boost/program_options.hpp>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>

#include "Commands.h"
#include "Kino/VideoFrame.h"
#include "Movie.h"
#include "Pix/Pix.h"
#include "VireoClient/VireoClient.h"
#include "basekit/utility/Text.h"
#include "crossprocess/CrossProcess.h"

namespace po = boost::program_options;

namespace vireo::cli {

namespace {

using basekit::utility::Guid;
using ClientRef = InterfaceRef<VireoClient::IVireoClient, VireoClient::IVireoClient>;

constexpr int kFramesInFlight = 4;
constexpr std::int32_t kHostGaveUp = 1;  // a completion status that asks for nothing to be written

std::atomic<bool> gInterrupted{false};

extern "C" void OnInterrupt(int) {
    gInterrupted.store(true);
}

// The submissions waiting for their answer, and the first failure among the answers.
class InFlight {
  public:
    void Add() {
        std::unique_lock<std::mutex> lock(mMutex);
        ++mCount;
    }
    // Runs on an RPC thread (or the caller's, without a server).
    void Answered(std::int32_t code) {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            --mCount;
            if (code != 0 && mFailure == 0) {
                mFailure = code;
            }
        }
        mChanged.notify_all();
    }
    // Waits until at most `count` are in flight; returns the first failure (0: none).
    std::int32_t WaitBelow(int count) {
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait(lock, [&] { return mCount <= count || gInterrupted.load(); });
        return mFailure;
    }

  private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    int mCount = 0;
    std::int32_t mFailure = 0;
};

bool Matches(std::string const& wanted, std::uint32_t code, basekit::UTF16String const& name) {
    auto lower = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        return text;
    };
    return wanted == FourCCText(code) || lower(wanted) == lower(basekit::utility::UTF16to8(name));
}

std::string FailureText(std::int32_t code) {
    switch (code) {
        case -1:
            return "the server did not answer";
        case 3:
            return "no server";
        case -2260:
            return "cancelled";
        default:
            return "error " + std::to_string(code) + " (see docs/export.md)";
    }
}

}  // namespace

int RunExport(std::vector<std::string> const& args) {
    po::options_description options("vireo export IN -o OUT.mov --codec NAME [options]");
    options.add_options()("output,o", po::value<std::string>(), "movie file to write")(
        "codec", po::value<std::string>(), "video codec: FourCC or name (see 'vireo codecs')")(
        "audio", po::value<std::string>(), "audio codec: FourCC or name; no audio without it")(
        "quality", po::value<std::uint32_t>(), "quality 0..1024 (default: the codec's)")(
        "bitrate", po::value<double>(), "data-rate ceiling in Mbit/s (codecs that take one)")(
        "codec-settings", po::value<std::string>(),
        "file holding the codec's private settings, as the settings dialog writes them");
    po::variables_map vm;
    if (int const done = ParseCommandLine(args, options, vm); done >= 0) {
        return done;
    }
    if (!vm.count("output") || !vm.count("codec")) {
        std::cerr << "vireo export: --output and --codec are required\n" << options << "\n";
        return 2;
    }
    std::string const input = vm["file"].as<std::string>();
    // The server writes the movie; it takes absolute paths only.
    std::string const output = std::filesystem::absolute(vm["output"].as<std::string>()).string();
    if (!IsPathText(input) || !IsPathText(output)) {
        return 1;
    }
    if (!IsSeparateOutput(input, output)) {
        return 2;
    }

    ClientRef client = VireoClient::Create();
    if (!client || !client->IsQuicktimeAvailable()) {
        std::cerr << "vireo: the media engine is not available\n";
        return 1;
    }
    std::vector<VireoServer::CodecData> videoCodecs;
    std::vector<VireoServer::AudioCodecData> audioCodecs;
    client->GetExportVideoCodecs(videoCodecs);
    client->GetExportAudioCodecs(audioCodecs);
    auto codec = std::find_if(videoCodecs.begin(), videoCodecs.end(), [&](auto const& c) {
        return Matches(vm["codec"].as<std::string>(), c.subType, c.name);
    });
    if (codec == videoCodecs.end()) {
        std::cerr << "vireo: no video codec '" << vm["codec"].as<std::string>()
                  << "' (see 'vireo codecs')\n";
        return 2;
    }
    VireoServer::AudioCodecData const* audioCodec = nullptr;
    if (vm.count("audio")) {
        for (auto const& c : audioCodecs) {
            if (Matches(vm["audio"].as<std::string>(), c.codecID, c.codecName)) {
                audioCodec = &c;
            }
        }
        if (!audioCodec) {
            std::cerr << "vireo: no audio codec '" << vm["audio"].as<std::string>() << "'\n";
            return 2;
        }
    }

    ImporterRef importer = OpenMovie(input);
    if (!importer) {
        return 1;
    }
    auto const video = importer->GetVideoProperties();
    auto const audio = importer->GetAudioProperties();
    if (video.Width <= 0 || video.Height <= 0 || video.Scale <= 0 || video.SampleSize <= 0) {
        std::cerr << "vireo: " << input << ": the movie has no video\n";
        return 1;
    }
    bool const withAudio = audioCodec && audio.ChannelCount > 0 && audio.SampleRate > 0;
    std::int64_t const frames = std::max<std::int64_t>(1, video.Duration / video.SampleSize);

    VireoServer::StartExportData s;
    s.mFilePath = basekit::utility::UTF8to16(output);
    s.mExportVideo = true;
    s.mExportAudio = withAudio;
    s.mTicksPerSecond = video.Scale;
    s.mExportEndTime = frames * video.SampleSize;
    s.mVideoCodecFourCC = std::int32_t(codec->subType);
    s.mVideoCodecQuality = vm.count("quality") ? vm["quality"].as<std::uint32_t>()
                                               : std::uint32_t(codec->defaultQuality);
    s.mVideoFrameWidth = std::uint32_t(video.Width);
    s.mVideoFrameHeight = std::uint32_t(video.Height);
    s.mVideoFrameRate = std::uint64_t(video.SampleSize);
    s.mQTVideoTimescale = std::uint32_t(video.Scale);
    s.mQTVideoSampleSize = std::uint32_t(video.SampleSize);
    if (codec->fixedPARs.empty() && video.PAR.GetNumerator() && video.PAR.GetDenominator()) {
        s.mPixelAspectNum = video.PAR.GetNumerator();
        s.mPixelAspectDen = video.PAR.GetDenominator();
    }
    if (vm.count("bitrate")) {
        if (!std::isfinite(vm["bitrate"].as<double>())) {
            // Not a number JSON can carry: the call could not even be sent.
            std::cerr << "vireo: --bitrate takes a number of Mbit/s\n";
            return 2;
        }
        s.mDoBitrate = true;
        s.mMaxBitrate = vm["bitrate"].as<double>();
    }
    if (vm.count("codec-settings")) {
        if (!ReadCodecSettingsFile(vm["codec-settings"].as<std::string>(),
                                   s.mVideoCodecPrefsData)) {
            return 1;
        }
    }
    if (withAudio) {
        s.mAudioCodecFourCC = std::int32_t(audioCodec->codecID);
        s.mAudioFrameRate = std::int32_t(audio.SampleRate + 0.5);
        s.mAudioNumChannels = std::uint32_t(audio.ChannelCount);
        s.mAudioSampleType = 0;  // 32-bit float, as the importer gives it
    }
    // The frames are read in the codec's preferred format when the movie offers it, else in
    // '2vuy' for a codec that takes Y'CbCr (no round trip through RGB), else in 'BGRA'.
    auto offers = [&](std::uint32_t fourcc) {
        return std::any_of(video.SupportedPixelFormats.begin(), video.SupportedPixelFormats.end(),
                           [&](auto const& offered) { return offered.fourcc == fourcc; });
    };
    std::uint32_t format = Kino::kPixelFormat_BGRA;
    if (offers(codec->codecPixelFormat)) {
        format = codec->codecPixelFormat;
    } else if (codec->codecSupportsYUVPixelFormat && offers(Kino::kPixelFormat_2vuy)) {
        format = Kino::kPixelFormat_2vuy;
    }

    // Ctrl-C is caught from before the start: the server makes its temporary movie while it
    // starts the export, and only a cancel and a completion from here take it away at once.
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    ::sigaction(SIGINT, &action, nullptr);
    Guid const exporterId = Guid::CreateUnique();
    std::int32_t const started = client->StartExport(exporterId, s);
    if (started != 0) {
        std::cerr << "vireo: " << output << ": the export was refused: " << FailureText(started)
                  << "\n";
        return 1;
    }

    InFlight inFlight;
    std::int32_t failure = 0;
    Progress progress("export", frames);
    for (std::int64_t i = 0; i < frames && failure == 0 && !gInterrupted.load(); ++i) {
        InterfaceRef<Kino::IVideoFrame> frame;
        long const read = importer->GetMovieVideo(std::int32_t(i * video.SampleSize),
                                                  VireoServer::PixelFormat(format, 0), 0, 0, frame);
        if (read != 0 || !frame) {
            continue;  // an unreadable frame: the previous one lasts in its place
        }
        Guid const frameId = Guid::CreateUnique();
        auto shared = std::make_shared<crossprocess::WritableBinaryReferencePtr>();
        if (Pix::PublishVideoFrameProvidingReference(frame, frameId, *shared) != Pix::kOK) {
            failure = -1;
            break;
        }
        inFlight.Add();
        // The shared frame is kept until its answer.
        client->CompressAndWriteFrame(exporterId, frameId, std::uint32_t(i), 0, false,
                                      [&inFlight, shared](VireoServer::ExportFrameReceivedData r) {
                                          shared->reset();
                                          inFlight.Answered(r.mExporterResultCode);
                                      });
        failure = inFlight.WaitBelow(kFramesInFlight - 1);
        progress.Update(i + 1);
    }
    if (withAudio) {
        importer->RestartMovieAudio();
        std::int64_t position = 0;
        std::int64_t const limit =
            std::int64_t(double(s.mExportEndTime) * audio.SampleRate / double(video.Scale));
        while (failure == 0 && !gInterrupted.load() && position < limit) {
            std::vector<float> block;
            importer->GetMovieAudio(block);
            std::int64_t count = std::int64_t(block.size()) / audio.ChannelCount;
            count = std::min(count, limit - position);
            if (count <= 0) {
                break;
            }
            std::uint64_t const bytes = std::uint64_t(count) * audio.ChannelCount * sizeof(float);
            auto shared = std::make_shared<crossprocess::WritableBinaryReferencePtr>(
                crossprocess::CreateWritableReference(bytes));
            Guid const audioId = Guid::CreateUnique();
            if (!*shared) {
                failure = -1;
                break;
            }
            std::memcpy((*shared)->GetData(), block.data(), bytes);
            if (crossprocess::Share(audioId, *shared, bytes) != 0) {
                failure = -1;
                break;
            }
            inFlight.Add();
            client->CompressAndWriteAudio(
                exporterId, audioId, position, count,
                [&inFlight, shared, audioId](VireoServer::ExportAudioDataReceived r) {
                    crossprocess::Unshare(audioId);
                    shared->reset();
                    inFlight.Answered(r.mExporterResultCode);
                });
            position += count;
            failure = inFlight.WaitBelow(kFramesInFlight - 1);
        }
    }
    progress.Finish();
    bool const interrupted = gInterrupted.load();
    if (interrupted) {
        client->ExportServerShouldCancel(exporterId);
    }
    failure = inFlight.WaitBelow(0);
    if (gInterrupted.load() && !interrupted) {
        client->ExportServerShouldCancel(exporterId);
    }
    std::int32_t const status = (failure != 0 || gInterrupted.load()) ? kHostGaveUp : 0;

    std::mutex mutex;
    std::condition_variable done;
    bool completed = false;
    std::int32_t result = 0;
    client->ExportCompleted(exporterId, status, [&](VireoServer::ExportCompletedData r) {
        std::lock_guard<std::mutex> lock(mutex);
        result = r.mServerResultCode;
        completed = true;
        done.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        done.wait(lock, [&] { return completed; });
    }
    if (gInterrupted.load()) {
        std::cerr << "vireo: cancelled; nothing was written\n";
        return 130;
    }
    if (failure != 0 || result != 0) {
        std::cerr << "vireo: " << output << ": " << FailureText(failure != 0 ? failure : result)
                  << "\n";
        return 1;
    }
    std::cout << "wrote " << frames << " frames" << (withAudio ? " and audio" : "") << " to "
              << output << "\n";
    return 0;
}

}  // namespace vireo::cli
