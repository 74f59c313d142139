#pragma once
// How the server talks to the settings dialog program, vireo-codec-settings (tools/codec-settings).
//
//   vireo-codec-settings --codec <four characters> [--parent-pid <pid>] [--screenshot <file.png>]
//
// Standard input: the starting private data, read to its end (empty or unreadable: the codec's
// defaults). Standard output, lines ending in '\n':
//
//   ready                 the window is shown; from now on SIGUSR1 raises it
//   raised                written after each raise
//   accepted <n>          the user accepted; exactly n bytes of private data follow the line
//   cancelled             the user closed the dialog without accepting, or the codec has none
//
// The program exits after "accepted" or "cancelled". With --parent-pid it dies with that process
// (it must be the process that started it). --screenshot writes the window as PNG and cancels
// (for documentation). Diagnostics go to standard error.
#include <csignal>
#include <cstddef>

namespace vireo::server::codecsettings::protocol {

constexpr char kProgramName[] = "vireo-codec-settings";

constexpr char kReady[] = "ready";
constexpr char kRaised[] = "raised";
constexpr char kAccepted[] = "accepted";
constexpr char kCancelled[] = "cancelled";

constexpr int kRaiseSignal = SIGUSR1;

// Longest starting data passed on; longer data is not passed (the dialog shows the defaults, as
// for any data it cannot read).
constexpr std::size_t kMaxInputBytes = 4096;
// Most the server reads from the program's standard output; more is garbage.
constexpr std::size_t kMaxOutputBytes = 16384;

}  // namespace vireo::server::codecsettings::protocol
