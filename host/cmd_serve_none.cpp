// `vantrel serve` and `vantrel device` where the SyncML server is not built (Windows).
#include "host/command_support.h"
#include "host/command_table.h"
#include "host/commands.h"

namespace vt::host {

int cmdServe(const CommandLine&) {
    err(u"the SyncML server is not part of this build (it is built on Linux)");
    return kExitFailed;
}

int cmdDevice(const CommandLine&) {
    return cmdServe(CommandLine{});
}

}  // namespace vt::host
