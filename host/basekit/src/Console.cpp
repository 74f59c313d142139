#include <algorithm>
#include <exception>
#include <map>
#include <memory>
#include <mutex>

#include "basekit/console/Command.h"
#include "basekit/debug/Failure.h"
#include "basekit/utility/Text.h"

namespace basekit {
namespace console {

Command::~Command() = default;

namespace {

struct Entry {
    UTF16String help;
    CommandFactory factory;
};

struct Registry {
    std::mutex mutex;
    std::map<UTF16String, Entry> commands;
};

// Never destroyed: commands may be registered or run during static destruction.
Registry& GetRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

void AppendAscii(UTF16String& out, const char* text) {
    out += utility::AsciiToUTF16(text);
}

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

}  // namespace

bool CommandRegistry::RegisterCommand(UTF16String const& name, UTF16String const& help,
                                      CommandFactory factory) {
    if (name.empty() || factory == nullptr) {
        return false;
    }
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.commands[name] = Entry{help, factory};
    return true;
}

bool CommandRegistry::UnregisterCommand(UTF16String const& name) {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.commands.erase(name) != 0;
}

bool CommandRegistry::HasCommand(UTF16String const& name) {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.commands.count(name) != 0;
}

std::vector<UTF16String> CommandRegistry::ListCommands() {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    std::vector<UTF16String> names;
    names.reserve(registry.commands.size());
    for (auto const& entry : registry.commands) {
        names.push_back(entry.first);
    }
    return names;
}

UTF16String CommandRegistry::GetHelp(UTF16String const& name) {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.commands.find(name);
    return it == registry.commands.end() ? UTF16String() : it->second.help;
}

int CommandRegistry::RunCommand(UTF16String const& name, std::vector<UTF16String> const& args,
                                UTF16String& output) {
    Entry entry{};
    {
        Registry& registry = GetRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto it = registry.commands.find(name);
        if (it == registry.commands.end()) {
            output.clear();
            AppendAscii(output, "unknown command: ");
            output += name;
            output += u'\n';
            return kCommandNotFound;
        }
        entry = it->second;
    }

    std::unique_ptr<Command> command;
    try {
        command.reset(entry.factory(name, entry.help));
    } catch (...) {
        // The caller learns of it from the result; the report keeps what the factory threw.
        BASEKIT_REPORT_CAUGHT("creating a console command");
    }
    if (!command) {
        output.clear();
        AppendAscii(output, "command could not be created: ");
        output += name;
        output += u'\n';
        return kCommandNotCreated;
    }

    StringOutputStream stream;
    int result = kCommandSucceeded;
    try {
        command->Execute(args, stream);
    } catch (...) {
        // Passed on: the result says the command failed and the output ends with the text.
        stream << u"error: " << utility::UTF8to16(debug::CurrentExceptionText()) << u'\n';
        result = kCommandFailed;
    }
    command.reset();
    output = stream.str();
    return result;
}

int CommandRegistry::RunCommandLine(UTF16String const& line, UTF16String& output) {
    std::vector<UTF16String> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) {
            ++i;
        }
        std::size_t const start = i;
        while (i < line.size() && !IsBlank(line[i])) {
            ++i;
        }
        if (i > start) {
            words.push_back(line.substr(start, i - start));
        }
    }
    if (words.empty()) {
        output.clear();
        return kCommandNotFound;
    }
    UTF16String const name = words.front();
    words.erase(words.begin());
    return RunCommand(name, words, output);
}

}  // namespace console
}  // namespace basekit
