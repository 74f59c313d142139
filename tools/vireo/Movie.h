#pragma once
// Opening a movie through the library's exported ImportFile, with readable errors.
#include <boost/program_options.hpp>
#include <string>
#include <vector>

#include "Kino/BinaryData.h"
#include "Orb/InterfaceRef.h"
#include "VireoClient/IVireoImporter.h"

namespace vireo::cli {

using ImporterRef = InterfaceRef<VireoClient::IVireoImporter, VireoClient::IVireoImporter>;

// Parses "FILE [options]" of a sub-command (adding --help and the positional FILE to `options`).
// Returns -1 when the command should go on, or the exit code to end with (help shown: 0; no FILE:
// usage shown, 2).
int ParseCommandLine(std::vector<std::string> const& args,
                     boost::program_options::options_description& options,
                     boost::program_options::variables_map& vm);

// Words for the server's codes of opening a movie and reading its frames, including the limits it
// sets each client (docs/protocol.md, docs/server.md); empty for any other code.
std::string ServerCodeText(long code);

// Whether `path` can be handed to the server, whose paths are Unicode text: a name that is not
// UTF-8 would arrive as another name. When it cannot, prints "vireo: <path>: ..." to standard
// error.
bool IsPathText(std::string const& path);

// Whether writing `output` leaves the movie `input` alone: false (with "vireo: <output>: ..." on
// standard error) when both name the same file, also through a link.
bool IsSeparateOutput(std::string const& input, std::string const& output);

// Opens `path`; on failure prints "vireo: <path>: <reason>" to standard error and returns an
// empty holder.
ImporterRef OpenMovie(std::string const& path);

// For commands that run long: lets the library find or start a server again on the next
// operation when the one it used has died (the debug setting
// "VireoServerManager.RestartOnDemand", capped by the library at a few restarts a minute), unless
// the user's debug settings already decide it.
void RestartServerOnDemand();

// Reads a file of codec settings (as `vireo codec-settings` saves them) into `out`; reads at most
// a little more than the largest settings the server takes, so that a device or a huge file
// neither hangs the command nor fills its memory. On failure prints "vireo: <path>: <reason>".
bool ReadCodecSettingsFile(std::string const& path, Kino::BinaryData& out);

// Text of a four-character code ('avc1'); codes with unprintable bytes as 0xXXXXXXXX.
std::string FourCCText(std::uint32_t code);
// The code of four characters of text; 0 when the text is not four characters.
std::uint32_t FourCCFromText(std::string const& text);

// One line of a progress bar on standard error, redrawn in place; finished with a newline.
class Progress {
  public:
    Progress(std::string label, long long total);
    void Update(long long done);
    void Finish();

  private:
    std::string mLabel;
    long long mTotal;
    int mLastPercent = -1;
    bool mShown;
};

}  // namespace vireo::cli
