#pragma once
// The server process's side of discovery: its command line, its registry entry, its parent.
#include <cstdint>
#include <functional>
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
    // Not given by hostlink: `--idle-ms <ms>`, how long a shared server stays after its last
    // session ended; -1 when absent.
    std::int64_t idleMs = -1;
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

// Retires a shared server: takes the name's start-up lock (waiting up to timeoutMs), and while
// holding it asks stillIdle() and, when that is true, withdraws the entry. While the lock is held
// no client is between finding this server and connecting to it, so none is left with a server
// that has gone. False (entry kept) when the lock could not be had or stillIdle() said no.
// stillIdle runs on the calling thread.
bool WithdrawIfIdle(LaunchOptions const& options, std::function<bool()> const& stillIdle,
                    int timeoutMs);

}  // namespace server
}  // namespace hostlink
