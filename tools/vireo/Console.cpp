// vireo console COMMAND [ARGS...]: runs a command of the debug console (for example
// "QT.VOutGetAllComponents") and prints what it wrote.
#include <iostream>

#include "Commands.h"
#include "VireoClient/VireoClient.h"
#include "basekit/console/Command.h"
#include "basekit/utility/Text.h"

namespace vireo::cli {

int RunConsole(std::vector<std::string> const& args) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        // The library registers its commands when it connects.
        auto client = VireoClient::Create();
        std::cout << "usage: vireo console COMMAND [ARGS...]\n\ncommands:\n";
        for (auto const& name : basekit::console::CommandRegistry::ListCommands()) {
            std::cout << "  " << basekit::utility::UTF16to8(name) << "\n";
        }
        return args.empty() ? 2 : 0;
    }
    auto client = VireoClient::Create();
    std::string line;
    for (auto const& word : args) {
        line += (line.empty() ? "" : " ") + word;
    }
    basekit::UTF16String output;
    int const result =
        basekit::console::CommandRegistry::RunCommandLine(basekit::utility::UTF8to16(line), output);
    std::cout << basekit::utility::UTF16to8(output);
    std::cout.flush();
    if (result == basekit::console::kCommandNotFound) {
        return 2;
    }
    return result == basekit::console::kCommandSucceeded ? 0 : 1;
}

}  // namespace vireo::cli
