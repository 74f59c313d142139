#pragma once
// Reading a Macintosh alias record (version 2), the form in which QuickTime movies name the file
// a track's media lies in ('alis' data references).
//
// Layout (big-endian): user type (4), record size (2), version (2), kind (2); volume name as a
// Pascal string in 28 bytes; volume date (4), file system (2), drive type (2), parent folder id
// (4); file name as a Pascal string in 64 bytes; file number (4), file date (4), file type (4),
// creator (4); levels up from the alias's folder to the common folder (2) and down from there to
// the target (2), each 0xFFFF when unknown; volume attributes (4), file system id (2), reserved
// (10). Then tagged extras, each a 16-bit tag, a 16-bit length and the data padded to an even
// length, up to tag 0xFFFF: 0 the parent folder's name, 2 the absolute path in colon form
// ("Volume:folder:file"), 14 the file name in UTF-16, 18 the POSIX path within the volume, 19
// the volume's mount point.
#include <cstddef>
#include <cstdint>
#include <string>

namespace vireo::server::files {

struct AliasTarget {
    std::string absolutePath;  // POSIX form; empty when the record holds no path
    // From the alias's folder: "../" for each level up past the first, then the last "levels
    // down" components of the target's path; empty when the record does not say.
    std::string relativePath;
    std::string fileName;
};

// False when `record` is too short for the fixed part or is not a version 2 record.
bool ReadAliasRecord(std::uint8_t const* record, std::size_t size, AliasTarget& target);

}  // namespace vireo::server::files
