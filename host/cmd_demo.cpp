// `vantrel demo`: the guided tour (host/demo.h) in a fresh sandbox.
#include "host/command_support.h"
#include "host/command_table.h"
#include "host/commands.h"
#include "host/demo.h"

namespace vt::host {

int cmdDemo(const CommandLine& cl) {
    if (!cl.positional.empty()) {
        err(u"demo takes no arguments (use --module MODULE)");
        return kExitUsage;
    }
    const std::u16string module = cl.module ? absolutePath(*cl.module) : defaultModulePath();
    if (module.empty()) {
        err(u"no module known to this build; give its path: vantrel demo --module MODULE");
        return kExitUsage;
    }
    std::u16string error;
    const std::u16string home = makeDemoSandbox(&error);
    if (home.empty()) {
        err(error);
        return kExitFailed;
    }
    return runDemo(home, module);
}

}  // namespace vt::host
