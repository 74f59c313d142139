#pragma once
// The process-wide debug settings database: string values under string keys, used to switch
// debugging aids and tune time-outs without rebuilding.
//
// Sources, in order of precedence (a later one wins):
//  1. the settings file named by the environment variable VIREO_DEBUG_SETTINGS, read once, on
//     the first use of the database. Format: one "key=value" per line; key and value are trimmed
//     of surrounding blanks (spaces, tabs, a trailing CR); blank lines and lines whose first
//     non-blank character is '#' are ignored; a line without '=' is ignored; a key given twice
//     keeps its last value. A missing or unreadable file is the same as an empty one.
//  2. SetEntry and RemoveEntry, made by the host or by tests; they act after the file has been
//     read, so they always win over it.
// There is no per-key environment override. All operations are thread-safe.
#include <map>

#include "basekit/Strings.h"

namespace basekit {
namespace debug {

class DebugDatabase {
  public:
    // Name of the environment variable that names the settings file.
    static constexpr const char* kSettingsFileVariable = "VIREO_DEBUG_SETTINGS";

    static DebugDatabase& Instance();

    // The value stored under `key`, or `defaultValue` when there is none.
    UTF8String GetEntry(UTF8String const& key, UTF8String const& defaultValue);
    bool HasEntry(UTF8String const& key);
    void SetEntry(UTF8String const& key, UTF8String const& value);
    void RemoveEntry(UTF8String const& key);

    // Reads the file at `path` now, in the format above; its entries replace those present.
    // False when the file cannot be opened.
    bool LoadFile(UTF8String const& path);
    // Forgets every entry and that the settings file was read: the next use reads it again
    // (from the environment variable's current value). For tests and hosts that reconfigure.
    void Reset();

    // Parses settings text in the format above into `entries` (later keys replace earlier).
    static void ParseSettings(UTF8String const& text, std::map<UTF8String, UTF8String>& entries);

    DebugDatabase(DebugDatabase const&) = delete;
    DebugDatabase& operator=(DebugDatabase const&) = delete;

  private:
    DebugDatabase() = default;
    ~DebugDatabase() = default;
};

}  // namespace debug
}  // namespace basekit
