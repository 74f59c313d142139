#pragma once
// Path handling. Paths arrive in either convention: both '\' and '/' separate the parts of a
// path on input (a path such as "32\Corvid Vireo Server.exe" names a file in a sub-directory
// "32"). Every path these functions return uses '/' only.
#include "Orb/Strings.h"
#include "basekit/Strings.h"

namespace Orb {

class PathUtils {
  public:
    static bool IsSeparator(char16_t c) noexcept { return c == u'/' || c == u'\\'; }

    // `path` with every '\' replaced by '/'.
    static basekit::UTF16String ToNativePath(basekit::UTF16String const& path);

    // Joins a directory and a file (or relative path) with one '/': separators at the end of
    // `directory` and at the start of `file` are not doubled. An empty `directory` gives `file`,
    // an empty `file` gives `directory` (both converted to '/').
    static basekit::UTF16String CombinePaths(basekit::UTF16String const& directory,
                                             basekit::UTF16String const& file);

    // True when a file or directory exists at `path`. The empty path does not exist.
    static bool ExistsOnDisk(basekit::UTF16String const& path);

    // The directory part of `path` up to and INCLUDING its last separator ("/a/b/c.mov" gives
    // "/a/b/"), so that a file name can be appended directly; the empty string when `path` has no
    // separator.
    static basekit::UTF16String GetFullDirectoryPart(basekit::UTF16String const& path);

    // The file part of `path` after its last separator, extension included ("/a/b/c.mov" gives
    // "c.mov"); the whole path when it has no separator.
    static basekit::UTF16String GetFullFilePart(basekit::UTF16String const& path);
};

}  // namespace Orb
