#pragma once
// The debug console command "QT.VOutGetAllComponents": asks the shared client for the
// video-output components and prints each with its display modes, so that a person can see which
// component another command should work with. Every server manager registers it when it is made.
#include "basekit/Strings.h"
#include "basekit/console/Command.h"

namespace VireoClient {

class QTVOutGetAllComponents : public basekit::console::Command {
  public:
    QTVOutGetAllComponents(basekit::UTF16String const& name, basekit::UTF16String const& help)
        : basekit::console::Command(name, help) {}

    // Runs on the console's thread and blocks there until the server has answered. Throws
    // Orb::NullInterfaceException when there is no shared client.
    void Execute(std::vector<basekit::UTF16String> const& args,
                 basekit::console::OutputStream& output) override;
};

// The console's factory of the command; the console owns and deletes what it returns.
basekit::console::Command* CreateQTVOutGetAllComponents(basekit::UTF16String const& name,
                                                        basekit::UTF16String const& help);

// Registers the command with the console (replacing an earlier registration of the name).
void RegisterVideoOutputCommand();

}  // namespace VireoClient
