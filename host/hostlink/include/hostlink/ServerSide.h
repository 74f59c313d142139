#pragma once
// The server process's side of discovery: its command line, its registry entry, its parent.
#include <cstdint>
#include <string>

namespace hostlink {
namespace server {

// Command line given by CreateNamedServerConnection:
//   --name <server name> --registry <dir> --instance <instance name> --parent-pid <pid>
struct LaunchOptions {
    std::string name;
    std::string registry;
    std::string instance;
    std::int64_t parentPid = 0;
};
// False (with a message) when the command line is not one hostlink gives.
bool ParseLaunchOptions(int argc, char** argv, LaunchOptions& out, std::string& error);

// A fresh secret token (hex text of 32 random bytes).
std::string MakeToken();

// Writes the entry for `name` atomically (temp file + rename, mode 0600).
bool Announce(LaunchOptions const& options, std::string const& host, std::uint16_t port,
              std::string const& token);
// Removes the entry for `name` if it is still this process's.
void Withdraw(LaunchOptions const& options);

}  // namespace server
}  // namespace hostlink
