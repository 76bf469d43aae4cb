// The commands of `vantrel`: the command table, the one place that names each command, its
// handler, its help and the options it takes, and the handlers it names (host/cmd_*.cpp).
// runCommandLine (host/commands.h) checks a command line against the command's entry (an
// option the entry does not list is a usage error) and then runs the entry's handler.
//
// Thread-safe: the table is made once and never changed. The handlers are not (see
// host/commands.h).
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/command_line.h"
#include "host/help.h"

namespace vt::host {

// How many phones a command may be given with the phone options (--imei, --alias, --phone,
// --phone-options).
enum class PhoneOptions { None, One, Many };

// Runs a command on a command line that passed the checks of its entry; answers the exit code.
using CommandHandler = int (*)(const CommandLine& cl);

struct CommandInfo {
    const char16_t* name;
    CommandHandler run;
    const CommandHelp* help;
    // The options it takes besides the global ones and the phone options: flags ("--all") and
    // the options with a value that only some commands take ("--module"; see commandOptions).
    std::set<std::u16string> options;
    PhoneOptions phones;
};

// Every command, in the order the general help lists them.
const std::vector<CommandInfo>& commands();
// The entry named name; null when there is none.
const CommandInfo* findCommand(const std::u16string& name);

// An option with a value that only the commands listing it take.
struct CommandOption {
    const char16_t* name;
    std::optional<std::u16string> CommandLine::*value;  // where the command line keeps it
    const char16_t* notTaken;  // the usage error for a command that does not list it
    const char16_t* empty;     // the usage error for an empty value; null when one is allowed
};

// --module, --progid and --unset, in the order they are checked.
const std::vector<CommandOption>& commandOptions();

// The handlers. Each prints what it did, reports problems on standard error and answers the
// exit code (host/commands.h).
int cmdRegister(const CommandLine& cl);
int cmdUnregister(const CommandLine& cl);
int cmdConfig(const CommandLine& cl);
int cmdSync(const CommandLine& cl);
int cmdExport(const CommandLine& cl);
int cmdReadOut(const CommandLine& cl);
int cmdImport(const CommandLine& cl);
int cmdStatus(const CommandLine& cl);
int cmdDemo(const CommandLine& cl);
int cmdServe(const CommandLine& cl);
int cmdDevice(const CommandLine& cl);

}  // namespace vt::host
