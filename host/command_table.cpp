#include "host/command_table.h"

namespace vt::host {

const std::vector<CommandInfo>& commands() {
    static const std::vector<CommandInfo> kCommands = {
        {u"register", cmdRegister, &kRegisterHelp, {u"--module"}, PhoneOptions::None},
        {u"unregister", cmdUnregister, &kUnregisterHelp, {u"--module"}, PhoneOptions::None},
        {u"config", cmdConfig, &kConfigHelp, {u"--unset"}, PhoneOptions::None},
        {u"sync", cmdSync, &kSyncHelp, {u"--all", u"--progid"}, PhoneOptions::Many},
        {u"export", cmdExport, &kExportHelp, {u"--progid"}, PhoneOptions::One},
        {u"read-out", cmdReadOut, &kReadOutHelp, {u"--progid"}, PhoneOptions::One},
        {u"import",
         cmdImport,
         &kImportHelp,
         {u"--replace", u"--item-overwrite", u"--progid"},
         PhoneOptions::One},
        {u"status", cmdStatus, &kStatusHelp, {}, PhoneOptions::One},
        {u"demo", cmdDemo, &kDemoHelp, {u"--module"}, PhoneOptions::None},
        {u"serve",
         cmdServe,
         &kServeHelp,
         {u"--listen", u"--tls-cert", u"--tls-key", u"--trace", u"--idle-timeout"},
         PhoneOptions::None},
        {u"device", cmdDevice, &kDeviceHelp, {u"--user", u"--password-file"}, PhoneOptions::One},
    };
    return kCommands;
}

const CommandInfo* findCommand(const std::u16string& name) {
    for (const auto& c : commands())
        if (name == c.name) return &c;
    return nullptr;
}

const std::vector<CommandOption>& commandOptions() {
    static const std::vector<CommandOption> kOptions = {
        {u"--module", &CommandLine::module,
         u"--module is for register, unregister and demo; other commands use the registered "
         u"module",
         nullptr},
        {u"--progid", &CommandLine::progId,
         u"--progid is for the commands that connect to phones: sync, export, read-out, import",
         u"--progid needs a ProgID such as Vantrel.NotesSml"},
        {u"--unset", &CommandLine::unset, u"--unset is for config", nullptr},
        {u"--listen", &CommandLine::listen, u"--listen is for serve",
         u"--listen needs an address and port such as 127.0.0.1:9876"},
        {u"--tls-cert", &CommandLine::tlsCert, u"--tls-cert is for serve",
         u"--tls-cert needs a PEM certificate file"},
        {u"--tls-key", &CommandLine::tlsKey, u"--tls-key is for serve",
         u"--tls-key needs a PEM private key file"},
        {u"--trace", &CommandLine::trace, u"--trace is for serve", u"--trace needs a folder"},
        {u"--idle-timeout", &CommandLine::idleTimeout, u"--idle-timeout is for serve",
         u"--idle-timeout needs a number of seconds"},
        {u"--user", &CommandLine::user, u"--user is for device add", u"--user needs a user name"},
        {u"--password-file", &CommandLine::passwordFile, u"--password-file is for device add",
         u"--password-file needs a file"},
    };
    return kOptions;
}

}  // namespace vt::host
