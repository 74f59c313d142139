#pragma once
// Named directories of the running application.
//
// Built-in names:
//   "application"  the directory of the running executable (from /proc/self/exe);
//   "temporary"    $TMPDIR when set and not empty, otherwise "/tmp".
// The host may register any name, also a built-in one, which then replaces the built-in value
// until it is unregistered. Names are case-sensitive. Every directory is returned with '/' as
// separator and WITHOUT a trailing separator (the root directory is "/"); an unknown name gives
// the empty string. Thread-safe.
#include "Orb/Strings.h"
#include "basekit/Strings.h"

namespace Orb {

class DirectoryRegistry {
  public:
    static basekit::UTF16String FindDirectory(basekit::UTF16String const& name);
    // Registers (or replaces) `name`; '\' in `path` is taken as a separator and trailing
    // separators are dropped.
    static void RegisterDirectory(basekit::UTF16String const& name,
                                  basekit::UTF16String const& path);
    // True when a registration of `name` was removed.
    static bool UnregisterDirectory(basekit::UTF16String const& name);
};

}  // namespace Orb
