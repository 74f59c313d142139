#pragma once
// The file types the media engine imports, by file name extension.
//
// Thread use: any thread; the list is made once, on first use, and shared.
#include <string>
#include <vector>

namespace vireo::server::files {

struct ImportableFileType {
    std::string extension;    // lower case, without the dot ("mov")
    std::string description;  // readable, from FFmpeg ("QuickTime / MOV")
};

// Every extension of a format the engine opens, each once, sorted by extension. Formats the
// engine refuses are left out: text shown as pictures (ANSI art), subtitle, caption and metadata
// files (no video or audio), playlists and network session descriptions (their media are not in
// the file), raw pictures without a header (their size is not in the file), and formats reached
// only through network or device protocols.
std::vector<ImportableFileType> const& ImportableFileTypes();

}  // namespace vireo::server::files
