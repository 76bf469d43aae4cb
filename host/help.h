// The help texts of `vantrel`: each command's usage line, summary and description, the general
// help that lists the commands, and the texts that several commands' help shows (the phone
// options, the options of every command).
//
// Thread-safe: the texts are constants, and printing goes through the Console.
#pragma once

#include <string>

namespace vt::host {

struct CommandInfo;

// A command's help, as its entry in the command table carries it.
struct CommandHelp {
    const char16_t* usage;    // "vantrel sync [PHONE OPTIONS]... [--all]"
    const char16_t* summary;  // its line in the general help
    const char16_t* details;  // the description `vantrel COMMAND --help` gives; ends in '\n'
};

extern const CommandHelp kRegisterHelp;
extern const CommandHelp kUnregisterHelp;
extern const CommandHelp kConfigHelp;
extern const CommandHelp kSyncHelp;
extern const CommandHelp kExportHelp;
extern const CommandHelp kReadOutHelp;
extern const CommandHelp kImportHelp;
extern const CommandHelp kStatusHelp;
extern const CommandHelp kDemoHelp;
extern const CommandHelp kServeHelp;
extern const CommandHelp kDeviceHelp;

// `vantrel --help`: what the program is, every command of the table with its summary, the
// options of every command, where things live and the exit codes.
std::u16string generalHelp();
// `vantrel COMMAND --help`: the command's usage and description, the phone options when it
// takes any, and the options of every command.
std::u16string commandHelp(const CommandInfo& c);
// Prints text on standard output, one line for each '\n'-separated line (a final '\n' adds
// none).
void printBlock(const std::u16string& text);

}  // namespace vt::host
