#include "host/commands.h"

#include "host/command_line.h"
#include "host/command_support.h"
#include "host/command_table.h"
#include "host/console.h"
#include "host/help.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/path.h"
#include "platform/special_folders.h"
#include "platform/text.h"

#ifndef VANTREL_MODULE_PATH
#define VANTREL_MODULE_PATH ""
#define VANTREL_MODULE_NAME ""
#endif

namespace vt::host {

namespace {

// Whether cl gives the command only options its entry lists, each with a value where an empty
// one is refused; otherwise says what is wrong on standard error.
bool takesOptions(const CommandInfo& info, const CommandLine& cl) {
    for (const auto& f : cl.flags) {
        if (!isGlobalFlag(f) && !info.options.count(f)) {
            err(format(u"%s does not take %s (see `vantrel %s --help`)", info.name, f, info.name));
            return false;
        }
    }
    if (info.phones == PhoneOptions::None && !cl.phones.empty()) {
        err(format(u"%s takes no phone options", info.name));
        return false;
    }
    if (info.phones != PhoneOptions::Many && cl.phones.size() > 1) {
        err(format(u"%s works on one phone at a time", info.name));
        return false;
    }
    for (const CommandOption& o : commandOptions()) {
        const std::optional<std::u16string>& value = cl.*o.value;
        if (!value) continue;
        if (!info.options.count(o.name)) {
            err(o.notTaken);
            return false;
        }
        if (value->empty() && o.empty) {
            err(o.empty);
            return false;
        }
    }
    return true;
}

}  // namespace

std::u16string defaultModulePath() {
    const std::u16string built = fromUtf8(VANTREL_MODULE_PATH);
    plat::FileStatus st;
    if (!built.empty() && plat::getFileStatus(built, &st)) return built;
    // <build>/host/vantrel -> <build>/frontend/<module file>
    const std::u16string build = plat::parentFolder(plat::parentFolder(plat::hostExecutablePath()));
    if (!build.empty()) {
        std::u16string candidate =
            plat::joinPath(plat::joinPath(build, u"frontend"), fromUtf8(VANTREL_MODULE_NAME));
        if (plat::getFileStatus(candidate, &st) && !st.isDirectory) return candidate;
    }
    return built;
}

int runCommandLine(const std::vector<std::u16string>& args) {
    CommandLine cl;
    std::u16string error;
    if (!parseCommandLine(args, &cl, &error)) {
        err(error + u" (see `vantrel --help`)");
        return kExitUsage;
    }
    if (cl.flags.count(u"--plain")) Console::instance().setPlain();
    if (cl.flags.count(u"--quiet")) Console::instance().setQuiet(true);
    if (cl.command.empty() || cl.command == u"help") {
        if (!cl.positional.empty()) {
            if (const CommandInfo* c = findCommand(cl.positional[0])) {
                printBlock(commandHelp(*c));
                return kExitOk;
            }
        }
        printBlock(generalHelp());
        return cl.command.empty() && !cl.flags.count(u"--help") ? kExitUsage : kExitOk;
    }
    const CommandInfo* info = findCommand(cl.command);
    if (!info) {
        err(format(u"unknown command \"%s\" (see `vantrel --help`)", cl.command));
        return kExitUsage;
    }
    if (cl.flags.count(u"--help")) {
        printBlock(commandHelp(*info));
        return kExitOk;
    }
    if (!takesOptions(*info, cl)) return kExitUsage;
    return info->run(cl);
}

}  // namespace vt::host
