#pragma once
// Starting one dialog program: its standard input holds the starting data, its standard output
// and error are pipes the launcher reads, it gets default signal handling, no other file
// descriptor of the server, and a process group of its own.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vireo::server::codecsettings::detail {

struct StartedProgram {
    pid_t pid = -1;
    int output = -1;     // read end of its standard output (close-on-exec, non-blocking)
    int errors = -1;     // read end of its standard error (close-on-exec, non-blocking)
    int exitWatch = -1;  // a pidfd that becomes readable when it exits; -1 where unsupported
};

// Starts `program` with `arguments` (argv[1..]) and `input` (at most 64 KiB) on its standard
// input. Returns false with `error` set when the pipes cannot be made or the program cannot be
// executed (missing, not executable, not a program).
bool StartProgram(std::string const& program, std::vector<std::string> const& arguments,
                  std::vector<std::uint8_t> const& input, StartedProgram& started,
                  std::string& error);

// The text of a wait status: "exit status 3", "killed by signal 9 (SIGKILL)".
std::string DescribeExit(int status);

}  // namespace vireo::server::codecsettings::detail
