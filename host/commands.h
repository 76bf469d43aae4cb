// Runs a `vantrel` command line: the commands register, unregister, config, sync, export,
// read-out, import, status and demo, and their help. Every command prints what it did, reports
// problems as "vantrel: ..." lines on standard error and answers an exit code. The command line
// is taken apart by host/command_line.h and checked against the command table
// (host/command_table.h), whose entry names the handler that runs (host/cmd_*.cpp).
//
// Not thread-safe: a command may change the process's current folder (for the module's debug
// copies of received items) and, for `demo`, VANTREL_HOME.
#pragma once

#include <string>
#include <vector>

namespace vt::host {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // an operation failed
inline constexpr int kExitUsage = 2;   // the command line is wrong

// Runs one command line (without the program name) and answers the exit code.
int runCommandLine(const std::vector<std::u16string>& args);

// The module the build made, for `register` without MODULE and for `demo`: --module, else the
// path compiled in, else frontend/libvantrel.so beside the host's build folder.
std::u16string defaultModulePath();

}  // namespace vt::host
