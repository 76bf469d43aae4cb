// Linked into the module only: runs the module's load and unload hooks.
#include "platform/module_entry.h"

namespace {

__attribute__((constructor)) void moduleLoaded() {
    vt::module_entry::onLoad();
}
__attribute__((destructor)) void moduleUnloaded() {
    vt::module_entry::onUnload();
}

}  // namespace
