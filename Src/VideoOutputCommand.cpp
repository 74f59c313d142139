#include "VideoOutputCommand.h"

#include "Orb/Exception.h"
#include "VireoClient/VireoClient.h"
#include "basekit/utility/Text.h"
#include "vout/ConsoleReport.h"

namespace VireoClient {

namespace {

constexpr char kCommandName[] = "QT.VOutGetAllComponents";
constexpr char kCommandHelp[] =
    "QT.VOutGetAllComponents - List the available QT VOut components. Can be used before calling "
    "other commands which needs to know which component you want to work with.";

// Made once when the library is loaded.
basekit::UTF16String const gCommandName =
    basekit::utility::AsciiToUTF16(kCommandName, sizeof(kCommandName) - 1);
basekit::UTF16String const gCommandHelp =
    basekit::utility::AsciiToUTF16(kCommandHelp, sizeof(kCommandHelp) - 1);

}  // namespace

void QTVOutGetAllComponents::Execute(std::vector<basekit::UTF16String> const& /*args*/,
                                     basekit::console::OutputStream& output) {
    InterfaceRef<IVireoClient, IVireoClient> client = Create();
    if (!client) {
        throw Orb::NullInterfaceException();
    }
    // Without the engine, with a codec dialog showing or without an answer the list stays empty
    // and the report says 0 components.
    std::vector<VireoServer::QTVOutComponent> components;
    client->GetQTVOutComponents(components);
    vireo::server::vout::WriteComponentReport(components, output);
}

basekit::console::Command* CreateQTVOutGetAllComponents(basekit::UTF16String const& name,
                                                        basekit::UTF16String const& help) {
    return new QTVOutGetAllComponents(name, help);
}

void RegisterVideoOutputCommand() {
    basekit::console::CommandRegistry::RegisterCommand(gCommandName, gCommandHelp,
                                                       &CreateQTVOutGetAllComponents);
}

}  // namespace VireoClient
