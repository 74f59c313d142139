#pragma once
// Debug console commands and the process-wide registry that runs them.
//
// A command is registered by name with a help text and a factory. Running it creates the command
// through the factory (with the registered name and help), calls Execute once with the arguments
// and a UTF-16 output stream, and destroys it. Registering a name again replaces the earlier
// registration. All registry functions are thread-safe; no registry lock is held while a factory,
// Execute or a destructor runs, so a command may itself use the registry.
#include <vector>

#include "basekit/Strings.h"
#include "basekit/console/OutputStream.h"

namespace basekit {
namespace console {

class Command {
  public:
    Command(UTF16String const& name, UTF16String const& help) : mName(name), mHelp(help) {}
    virtual ~Command();
    Command(Command const&) = delete;
    Command& operator=(Command const&) = delete;

    // Runs on the thread that called CommandRegistry::RunCommand. `args` are the words that
    // followed the command's name; `output` is imbued with a locale that formats numbers like
    // the "C" locale (see OutputStream.h). An exception that leaves Execute is caught by
    // RunCommand.
    virtual void Execute(std::vector<UTF16String> const& args, OutputStream& output) = 0;

    UTF16String const& GetName() const noexcept { return mName; }
    UTF16String const& GetHelp() const noexcept { return mHelp; }

  private:
    UTF16String mName;
    UTF16String mHelp;
};

// Makes a new command; the registry owns it and deletes it after Execute. May return null.
using CommandFactory = Command* (*)(UTF16String const& name, UTF16String const& help);

// Results of RunCommand.
constexpr int kCommandSucceeded = 0;
constexpr int kCommandNotFound = -1;    // no command of that name
constexpr int kCommandNotCreated = -2;  // its factory returned null or threw
constexpr int kCommandFailed = -3;      // Execute threw; the output ends with the error text

class CommandRegistry {
  public:
    // Registers (or replaces) `name`. False, and nothing registered, for an empty name or a null
    // factory.
    static bool RegisterCommand(UTF16String const& name, UTF16String const& help,
                                CommandFactory factory);
    // True when `name` was registered.
    static bool UnregisterCommand(UTF16String const& name);
    static bool HasCommand(UTF16String const& name);
    // The registered names, sorted.
    static std::vector<UTF16String> ListCommands();
    // The help text of `name`, empty when it is not registered.
    static UTF16String GetHelp(UTF16String const& name);

    // Runs `name` as described above. `output` receives what the command printed (also when it
    // failed, followed then by "error: " and the exception's text and a newline; for an unknown
    // command: "unknown command: <name>" and a newline).
    static int RunCommand(UTF16String const& name, std::vector<UTF16String> const& args,
                          UTF16String& output);
    // Splits `line` at blanks into the name and its arguments and runs it.
    static int RunCommandLine(UTF16String const& line, UTF16String& output);
};

}  // namespace console
}  // namespace basekit
