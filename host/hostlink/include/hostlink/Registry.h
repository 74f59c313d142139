#pragma once
// The per-user registry of named servers: its directory, the entry file of each server name and
// the entry's contents. Used by CreateNamedServerConnection (client side), by the server side
// (ServerSide.h) and by tests.
//
// Entry file: "<hex of the UTF-8 server name>.json" (long names are shortened with a hash), a
// JSON object {"pid", "host", "port", "token", "instance", "name"}, mode 0600, replaced
// atomically. Beside it "<entry>.lock" serialises starting and retiring the server of that name.
#include <cstdint>
#include <string>

namespace hostlink {

struct RegistryEntry {
    std::int64_t pid = 0;
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

// The file name (no directory) of the entry for `serverName` (UTF-8).
std::string EntryFileName(std::string const& serverName);
std::string EntryPath(std::string const& registryDir, std::string const& serverName);
inline std::string LockPath(std::string const& entryPath) {
    return entryPath + ".lock";
}

// Reads an entry; false when it is missing or malformed.
bool ReadEntry(std::string const& entryPath, RegistryEntry& out);
// Writes an entry atomically: a temporary file (mode 0600) renamed over `entryPath`.
bool WriteEntry(std::string const& entryPath, RegistryEntry const& entry);

}  // namespace hostlink
