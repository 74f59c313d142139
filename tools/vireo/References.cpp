// vireo refs FILE: the files a movie refers to. vireo types: the file types the server imports.
#include <sys/stat.h>

#include <boost/program_options.hpp>
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>

#include "Commands.h"
#include "Movie.h"
#include "VireoClient/VireoClient.h"
#include "basekit/utility/Text.h"

namespace po = boost::program_options;

namespace vireo::cli {

int RunRefs(std::vector<std::string> const& args) {
    po::options_description options("vireo refs FILE");
    po::variables_map vm;
    if (int const done = ParseCommandLine(args, options, vm); done >= 0) {
        return done;
    }
    std::string const path = vm["file"].as<std::string>();
    if (!IsPathText(path)) {
        return 1;
    }
    // The server lists nothing for a file it cannot read; say why here instead.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        std::cerr << "vireo: " << path << ": no such file\n";
        return 1;
    }
    // The client operation, not the exported function: with no recorded references to confirm
    // the exported function would answer at once without asking the server.
    InterfaceRef<VireoClient::IVireoClient, VireoClient::IVireoClient> client =
        VireoClient::Create();
    if (!client || !client->IsQuicktimeAvailable()) {
        std::cerr << "vireo: " << path << ": the server could not be reached\n";
        return 1;
    }
    struct Outcome {
        std::mutex mutex;
        std::condition_variable done;
        bool answered = false;
        std::vector<basekit::UTF16String> list;
    };
    auto outcome = std::make_shared<Outcome>();
    // Runs on an RPC thread of the library.
    auto onList = [outcome](std::vector<basekit::UTF16String> const& list) {
        std::lock_guard<std::mutex> lock(outcome->mutex);
        outcome->list = list;
        outcome->answered = true;
        outcome->done.notify_all();
    };
    if (!client->GetExternalReferencesList(basekit::utility::UTF8to16(path), onList)) {
        std::cerr << "vireo: " << path << ": the server could not be reached\n";
        return 1;
    }
    std::unique_lock<std::mutex> lock(outcome->mutex);
    outcome->done.wait(lock, [&] { return outcome->answered; });
    if (outcome->list.empty()) {
        std::cout << path << ": refers to no other file\n";
    }
    for (auto const& reference : outcome->list) {
        std::cout << basekit::utility::UTF16to8(reference) << "\n";
    }
    return 0;
}

int RunTypes(std::vector<std::string> const& args) {
    if (!args.empty()) {
        std::cout << "usage: vireo types\n";
        return args.front() == "--help" || args.front() == "-h" ? 0 : 2;
    }
    InterfaceRef<VireoClient::IVireoClient, VireoClient::IVireoClient> client =
        VireoClient::Create();
    if (!client || !client->IsQuicktimeAvailable()) {
        std::cerr << "vireo: the server could not be reached\n";
        return 1;
    }
    for (auto const& type : client->GetImportableFileExtensions()) {
        std::cout << basekit::utility::UTF16to8(type.extension) << "\t"
                  << basekit::utility::UTF16to8(type.description) << "\n";
    }
    return 0;
}

}  // namespace vireo::cli
