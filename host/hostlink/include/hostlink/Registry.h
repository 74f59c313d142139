#pragma once
// The per-user registry of named servers: its directory, the entry file of each server name and
// the entry's contents. Used by CreateNamedServerConnection (client side), by the server side
// (ServerSide.h) and by tests.
//
// The registry is the user's private folder (basetransport/LocalFolder.h), where the servers'
// listening sockets are too.
//
// Entry file: "<hex of the UTF-8 server name>.json" (long names are shortened with a hash), a
// JSON object {"pid", "started", "host", "port", "token", "instance", "name"}, mode 0600,
// replaced atomically; "started" is the server process's start time, so that a later process
// with the same pid is not taken for it. Beside it "<entry>.lock" serialises starting and
// retiring the server of that name.
#include <cstdint>
#include <string>

namespace hostlink {

struct RegistryEntry {
    std::int64_t pid = 0;
    std::uint64_t started = 0;  // 0: not recorded
    std::string host;
    std::uint16_t port = 0;
    std::string token;
    std::string instance;
    std::string name;
};

// Checks that `dir` can hold secrets: a real directory (not a symlink) owned by this user and
// not writable by group or others. Creates it with mode 0700 when it does not exist (its parent
// must). False with a message otherwise.
bool PrepareRegistryDirectory(std::string const& dir, std::string& error);

// True while the process that wrote `entry` runs (the same process, not a later one with its
// pid).
bool IsEntryProcessAlive(RegistryEntry const& entry);

// Removes what processes that have gone left in the registry: lock files nobody holds, entries
// whose server process has ended, unfinished temporary entries of writers that have ended, and
// anything of that form that another user put there. Entries and locks in use are left alone.
void RemoveLeftovers(std::string const& registryDir);

// The file name (no directory) of the entry for `serverName` (UTF-8).
std::string EntryFileName(std::string const& serverName);
std::string EntryPath(std::string const& registryDir, std::string const& serverName);
inline std::string LockPath(std::string const& entryPath) {
    return entryPath + ".lock";
}

// Reads an entry; false when it is missing, malformed, or not this user's file.
bool ReadEntry(std::string const& entryPath, RegistryEntry& out);
// Writes an entry atomically: a temporary file (mode 0600) renamed over `entryPath`.
bool WriteEntry(std::string const& entryPath, RegistryEntry const& entry);

}  // namespace hostlink
