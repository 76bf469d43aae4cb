// The `vantrel` command line taken apart: the command, its arguments, the phones named by the
// phone options and the other options' values. Parsing checks only the form (an option's value,
// the --timeout number); which options a command takes is up to the command table
// (host/command_table.h).
//
// Thread-safe: nothing here keeps state.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vt::host {

// How long a session may take unless --timeout says otherwise.
inline constexpr int kDefaultTimeoutSeconds = 300;

// One phone named with the phone options (--imei, --alias, --phone, --phone-options).
struct PhoneArgs {
    std::optional<std::u16string> imei, alias, store, options;
};

struct CommandLine {
    std::u16string command;                  // empty when none was given
    std::vector<std::u16string> positional;  // the arguments after the command
    std::vector<PhoneArgs> phones;           // in the order named
    std::set<std::u16string> flags;          // the options without a value ("-h" as "--help")
    std::optional<std::u16string> module;
    std::optional<std::u16string> progId;
    std::optional<std::u16string> unset;
    std::optional<std::u16string> listen;        // serve: ADDR:PORT
    std::optional<std::u16string> tlsCert;       // serve: PEM certificate (chain) file
    std::optional<std::u16string> tlsKey;        // serve: PEM private key file
    std::optional<std::u16string> trace;         // serve: folder for the protocol trace
    std::optional<std::u16string> idleTimeout;   // serve: seconds after which a silent
                                                 // client's session fails
    std::optional<std::u16string> user;          // device add
    std::optional<std::u16string> passwordFile;  // device add
    int timeoutSeconds = kDefaultTimeoutSeconds;
};

// The options without a value that every command takes: --help, --plain, --quiet.
bool isGlobalFlag(const std::u16string& option);

// Takes args (without the program name) apart into *cl. An --imei starts a new phone, and so
// does a phone option the current phone has already been given. False with *error when an
// option that needs a value has none, one that takes none has one ("--all=1"), or --timeout is
// not a whole number of seconds from 1 to 86400. "--" ends the options.
bool parseCommandLine(const std::vector<std::u16string>& args, CommandLine* cl,
                      std::u16string* error);

// The session time limit of cl in milliseconds.
int timeoutMs(const CommandLine& cl);

}  // namespace vt::host
