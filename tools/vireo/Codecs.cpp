// vireo codecs [--json]: the engine's three codec catalogues.
#include <boost/json.hpp>
#include <boost/program_options.hpp>
#include <iostream>

#include "Commands.h"
#include "Movie.h"
#include "VireoClient/VireoClient.h"
#include "basekit/utility/Text.h"

namespace po = boost::program_options;

namespace vireo::cli {

namespace {

std::string UTF8(basekit::UTF16String const& text) {
    return basekit::utility::UTF16to8(text);
}

boost::json::object VideoJSON(VireoServer::CodecData const& c) {
    boost::json::array rates, pars;
    for (auto const& r : c.fixedFrameRates) {
        rates.push_back(std::int64_t(r));
    }
    for (auto const& p : c.fixedPARs) {
        pars.push_back(boost::json::object{{"numerator", p.GetNumerator()},
                                           {"denominator", p.GetDenominator()}});
    }
    return boost::json::object{{"subType", FourCCText(c.subType)},
                               {"vendor", FourCCText(c.vendor)},
                               {"name", UTF8(c.name)},
                               {"canSetDataRate", c.canSetDataRate},
                               {"videoDepths", boost::json::value_from(c.videoDepthsArray)},
                               {"canDelta", c.canDelta},
                               {"canDoQuality", c.canDoQuality},
                               {"hasSetup", c.hasSetup},
                               {"fixedFieldType", c.fixedFieldType},
                               {"fixedFrameRates", rates},
                               {"minWidth", c.minWidth},
                               {"minHeight", c.minHeight},
                               {"maxWidth", c.maxWidth},
                               {"maxHeight", c.maxHeight},
                               {"fixedPARs", pars},
                               {"defaultQuality", c.defaultQuality},
                               {"defaultKeyFrameRate", c.defaultKeyFrameRate},
                               {"doesReorder", c.doesReorder},
                               {"codecSupportsYUVPixelFormat", c.codecSupportsYUVPixelFormat},
                               {"codecPixelFormat", FourCCText(c.codecPixelFormat)},
                               {"supports8BitGrayscale", c.supports8BitGrayscale}};
}

boost::json::object AudioJSON(VireoServer::AudioCodecData const& a) {
    return boost::json::object{{"codecID", FourCCText(a.codecID)},
                               {"codecName", UTF8(a.codecName)},
                               {"hasSetup", a.hasSetup},
                               {"channels", boost::json::value_from(a.audioChannelsArray)},
                               {"sampleRateMin", a.supportedSampleRateMin},
                               {"sampleRateMax", a.supportedSampleRateMax}};
}

}  // namespace

int RunCodecs(std::vector<std::string> const& args) {
    po::options_description options("vireo codecs [--json]");
    options.add_options()("help,h", "show this help")("json", "print JSON");
    po::variables_map vm;
    po::store(po::command_line_parser(args).options(options).run(), vm);
    po::notify(vm);
    if (vm.count("help")) {
        std::cout << options << "\n";
        return 0;
    }
    auto client = VireoClient::Create();
    if (!client || !client->IsQuicktimeAvailable()) {
        std::cerr << "vireo: the media engine is not available\n";
        return 1;
    }
    std::vector<VireoServer::CodecData> video;
    std::vector<VireoServer::AudioCodecData> audio;
    std::vector<std::uint32_t> imports;
    client->GetExportVideoCodecs(video);
    client->GetExportAudioCodecs(audio);
    client->GetImportCodecs(imports);
    if (vm.count("json")) {
        boost::json::array v, a, i;
        for (auto const& c : video)
            v.push_back(VideoJSON(c));
        for (auto const& c : audio)
            a.push_back(AudioJSON(c));
        for (auto code : imports)
            i.push_back(boost::json::string(FourCCText(code)));
        std::cout << boost::json::serialize(
                         boost::json::object{{"exportVideo", v}, {"exportAudio", a}, {"import", i}})
                  << "\n";
        return 0;
    }
    std::cout << "Export video codecs:\n";
    for (auto const& c : video) {
        std::cout << "  " << FourCCText(c.subType) << "  " << UTF8(c.name) << "  (" << c.minWidth
                  << "x" << c.minHeight << " .. " << c.maxWidth << "x" << c.maxHeight
                  << (c.canDoQuality ? ", quality" : "") << (c.canSetDataRate ? ", data rate" : "")
                  << (c.canDelta ? ", key frames" : "") << ")\n";
    }
    std::cout << "Export audio codecs:\n";
    for (auto const& c : audio) {
        std::cout << "  " << FourCCText(c.codecID) << "  " << UTF8(c.codecName) << "  ("
                  << c.supportedSampleRateMin << " .. " << c.supportedSampleRateMax << " Hz)\n";
    }
    std::cout << "Import codecs:\n ";
    for (auto code : imports)
        std::cout << " " << FourCCText(code);
    std::cout << "\n";
    return 0;
}

}  // namespace vireo::cli
