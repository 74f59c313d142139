// vireo vout [--json]: the server's video-output components with their display modes.
#include <boost/json.hpp>
#include <boost/program_options.hpp>
#include <iostream>

#include "Commands.h"
#include "Movie.h"
#include "VireoClient/VireoClient.h"
#include "VoutOutputs.h"

namespace po = boost::program_options;

namespace vireo::cli {

namespace {

boost::json::object ModeJSON(VireoServer::QTVOutDisplayModeInfo const& m) {
    return boost::json::object{
        {"name", m.mDisplayModeName},
        {"width", m.mWidth},
        {"height", m.mHeight},
        {"refresh", m.mRefresh_Float},
        {"resolutionX", m.mResolution_XFloat},
        {"resolutionY", m.mResolution_YFloat},
        {"pixelType", m.mQTPixelType},
        {"atomID", m.mQTAtomIDForMode},
        {"displayModeID", m.mDisplayModeID},
    };
}

boost::json::object ComponentJSON(VireoServer::QTVOutComponent const& c) {
    boost::json::array modes;
    for (auto const& mode : c.mDisplayModes) {
        modes.push_back(ModeJSON(mode));
    }
    auto const& d = c.mQTComponentDescription;
    return boost::json::object{
        {"name", c.mVOutComponentName},
        {"type", FourCCText(d.mQTComponentDesc_componentType)},
        {"subType", FourCCText(d.mQTComponentDesc_componentSubType)},
        {"manufacturer", FourCCText(d.mQTComponentDesc_componentManufacturer)},
        {"flags", d.mQTComponentDesc_componentFlags},
        {"flagsMask", d.mQTComponentDesc_componentFlagsMask},
        {"modes", modes},
    };
}

}  // namespace

std::vector<VireoServer::QTVOutComponent> ListOutputs(ClientRef const& client) {
    std::vector<VireoServer::QTVOutComponent> components;
    client->GetQTVOutComponents(components);
    return components;
}

int RunVout(std::vector<std::string> const& args) {
    po::options_description options("vireo vout [options]");
    options.add_options()("help,h", "show this help")("json", "print JSON");
    po::variables_map vm;
    po::store(po::command_line_parser(args).options(options).run(), vm);
    po::notify(vm);
    if (vm.count("help")) {
        std::cout << options;
        return 0;
    }
    ClientRef client = VireoClient::Create();
    if (!client || !client->IsQuicktimeAvailable()) {
        std::cerr << "vireo: the media server cannot be reached\n";
        return 1;
    }
    std::vector<VireoServer::QTVOutComponent> const components = ListOutputs(client);
    if (vm.count("json")) {
        boost::json::array list;
        for (auto const& component : components) {
            list.push_back(ComponentJSON(component));
        }
        std::cout << boost::json::serialize(list) << "\n";
        return 0;
    }
    for (std::size_t i = 0; i < components.size(); ++i) {
        auto const& c = components[i];
        std::cout << i << ": " << c.mVOutComponentName << " ("
                  << FourCCText(c.mQTComponentDescription.mQTComponentDesc_componentSubType)
                  << ")\n";
        for (std::size_t j = 0; j < c.mDisplayModes.size(); ++j) {
            std::cout << "    mode " << j << ": " << c.mDisplayModes[j].mDisplayModeName << "\n";
        }
    }
    if (components.empty()) {
        std::cout << "no video outputs\n";
    }
    return 0;
}

}  // namespace vireo::cli
