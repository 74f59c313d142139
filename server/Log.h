#pragma once
// The server's diagnostics: written to standard error only when VIREO_SERVER_LOG=1, so a server
// is silent in normal use.

namespace vireo::server {

bool LogEnabled();
// printf-style; adds the process id and a line feed.
void Log(char const* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vireo::server
