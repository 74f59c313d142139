// vireo info FILE [--json]: the movie's properties.
#include <boost/json.hpp>
#include <boost/program_options.hpp>
#include <iostream>

#include "Commands.h"
#include "Movie.h"

namespace po = boost::program_options;

namespace vireo::cli {

namespace {

boost::json::object VideoJSON(VireoServer::VideoProperties const& v) {
    boost::json::array formats;
    for (auto const& f : v.SupportedPixelFormats) {
        formats.push_back(
            boost::json::object{{"fourcc", FourCCText(f.fourcc)}, {"properties", f.properties}});
    }
    return boost::json::object{
        {"Duration", v.Duration},
        {"Scale", v.Scale},
        {"SampleSize", v.SampleSize},
        {"PAR", boost::json::object{{"numerator", v.PAR.GetNumerator()},
                                    {"denominator", v.PAR.GetDenominator()}}},
        {"FieldType", v.FieldType},
        {"Width", v.Width},
        {"Height", v.Height},
        {"PixelDepth", v.PixelDepth},
        {"PosterFrame", v.PosterFrame},
        {"CodecFourCC", FourCCText(v.CodecFourCC)},
        {"SupportedPixelFormats", formats},
        {"CanBeReadAsNativePixelFormat", v.CanBeReadAsNativePixelFormat},
        {"VideoCodecNotFound", v.VideoCodecNotFound},
        {"HasPulldown", v.HasPulldown},
        {"IsAdvancedPulldown", v.IsAdvancedPulldown},
        {"PulldownStartIndex", v.PulldownStartIndex},
        {"CreationHours", v.CreationHours},
        {"CreationMinutes", v.CreationMinutes},
        {"CreationSeconds", v.CreationSeconds},
        {"CreationDay", v.CreationDay},
        {"CreationMonth", v.CreationMonth},
        {"CreationYear", v.CreationYear},
    };
}

boost::json::object AudioJSON(VireoServer::AudioProperties const& a) {
    boost::json::array layout;
    for (auto code : a.ChannelLayout) {
        layout.push_back(code);
    }
    return boost::json::object{
        {"TrackCount", a.TrackCount},
        {"ChannelCount", a.ChannelCount},
        {"Duration", a.Duration},
        {"SampleRate", a.SampleRate},
        {"SDKSampleType", a.SDKSampleType},
        {"QTFormatID", FourCCText(static_cast<std::uint32_t>(a.QTFormatID))},
        {"ChannelLayout", layout},
    };
}

boost::json::object TimecodeJSON(VireoServer::TimecodeProperties const& t) {
    return boost::json::object{
        {"HasTimecode", t.HasTimecode},
        {"OriginalTime", t.OriginalTime},
        {"OriginalScale", t.OriginalScale},
        {"OriginalSampleSize", t.OriginalSampleSize},
        {"AlternateTime", t.AlternateTime},
        {"AlternateScale", t.AlternateScale},
        {"AlternateSampleSize", t.AlternateSampleSize},
        {"OriginalReel", t.OriginalReel},
        {"AlternateReel", t.AlternateReel},
        {"LogComment", t.LogComment},
    };
}

void PrintText(VireoServer::VideoProperties const& v, VireoServer::AudioProperties const& a,
               VireoServer::TimecodeProperties const& t) {
    std::cout << "Video\n";
    if (v.Width > 0) {
        double const fps = v.SampleSize > 0 ? static_cast<double>(v.Scale) / v.SampleSize : 0.0;
        double const seconds = v.Scale > 0 ? static_cast<double>(v.Duration) / v.Scale : 0.0;
        std::cout << "  codec        " << FourCCText(v.CodecFourCC) << "\n"
                  << "  size         " << v.Width << " x " << v.Height << " (pixel aspect "
                  << v.PAR.GetNumerator() << ":" << v.PAR.GetDenominator() << ")\n"
                  << "  frame rate   " << fps << " (" << v.Scale << "/" << v.SampleSize << ")\n"
                  << "  duration     " << seconds << " s (" << v.Duration << " units)\n"
                  << "  depth        " << v.PixelDepth << "\n"
                  << "  field type   " << v.FieldType << "\n"
                  << "  formats     ";
        for (auto const& f : v.SupportedPixelFormats) {
            std::cout << " " << FourCCText(f.fourcc);
        }
        std::cout << "\n";
        if (v.CreationYear > 0) {
            std::printf("  created      %04d-%02d-%02d %02d:%02d:%02d\n", v.CreationYear,
                        v.CreationMonth, v.CreationDay, v.CreationHours, v.CreationMinutes,
                        v.CreationSeconds);
        }
    } else {
        std::cout << "  none\n";
    }
    std::cout << "Audio\n";
    if (a.ChannelCount > 0) {
        std::cout << "  format       " << FourCCText(static_cast<std::uint32_t>(a.QTFormatID))
                  << "\n"
                  << "  tracks       " << a.TrackCount << "\n"
                  << "  channels     " << a.ChannelCount << "\n"
                  << "  sample rate  " << a.SampleRate << " Hz\n"
                  << "  duration     " << a.Duration << " samples\n";
    } else {
        std::cout << "  none\n";
    }
    std::cout << "Timecode\n";
    if (t.HasTimecode) {
        std::cout << "  start        " << t.OriginalTime << "\n"
                  << "  reel         " << t.OriginalReel << "\n";
    } else {
        std::cout << "  none\n";
    }
}

}  // namespace

int RunInfo(std::vector<std::string> const& args) {
    po::options_description options("vireo info FILE [options]");
    options.add_options()("json", "print one JSON object");
    po::variables_map vm;
    if (int const done = ParseCommandLine(args, options, vm); done >= 0) {
        return done;
    }
    ImporterRef importer = OpenMovie(vm["file"].as<std::string>());
    if (!importer) {
        return 1;
    }
    auto const& video = importer->GetVideoProperties();
    auto const& audio = importer->GetAudioProperties();
    auto const& timecode = importer->GetTimecodeProperties();
    if (vm.count("json")) {
        boost::json::object all{{"Video", VideoJSON(video)},
                                {"Audio", AudioJSON(audio)},
                                {"Timecode", TimecodeJSON(timecode)}};
        std::cout << boost::json::serialize(all) << "\n";
    } else {
        PrintText(video, audio, timecode);
    }
    return 0;
}

}  // namespace vireo::cli
