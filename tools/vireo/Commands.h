#pragma once
// The sub-commands of the vireo command-line host. Each returns the process exit code.
#include <string>
#include <vector>

namespace vireo::cli {

int RunInfo(std::vector<std::string> const& args);
int RunFrame(std::vector<std::string> const& args);
int RunAudio(std::vector<std::string> const& args);
int RunCodecSettings(std::vector<std::string> const& args);
int RunTrim(std::vector<std::string> const& args);
int RunRefs(std::vector<std::string> const& args);
int RunTypes(std::vector<std::string> const& args);
int RunVout(std::vector<std::string> const& args);
int RunConsole(std::vector<std::string> const& args);
int RunPlay(std::vector<std::string> const& args);
int RunCodecs(std::vector<std::string> const& args);
int RunExport(std::vector<std::string> const& args);

// Opens `path` through the library; prints a clear error and returns false on failure.
struct OpenedMovie;

}  // namespace vireo::cli
